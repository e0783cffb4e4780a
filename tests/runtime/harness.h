// SPDX-License-Identifier: BSD-2-Clause
// Runs the stand-in module (the real runtime with the recording adapter)
// as a child on real pipes, the way a speech server runs a module, and
// gives tests its stdout, stderr, exit status and the adapter's record.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "child_process.h"
#include "temp_dir.h"

namespace rt {

using Env = std::vector<std::pair<std::string, std::string>>;

// The handshake a default run answers: the harness scripts the init
// message "ready".
inline constexpr std::string_view ready = "299-ready\n299 OK LOADED SUCCESSFULLY\n";
inline constexpr std::string_view closed = "399 ERR MODULE CLOSED\n";

class Module {
public:
    // Starts the module with the recording adapter scripted by `env`
    // (QREC_INIT_MESSAGE defaults to "ready"; the variables named in
    // `unset` are removed) and `args` as its command line.
    explicit Module(const Env &env = {}, const std::vector<std::string> &args = {},
                    const std::vector<std::string> &unset = {});
    Module(const Module &) = delete;
    Module &operator=(const Module &) = delete;

    bool send(std::string_view bytes) { return child_->write(bytes); }
    // Sends "INIT\n" and waits for the whole 299 block.
    bool handshake();
    // Sends each piece separately, pausing `pause` between pieces.
    bool send_pieces(const std::vector<std::string> &pieces, std::chrono::milliseconds pause);
    bool wait_out(std::string_view needle, size_t from = 0) {
        return child_->wait_for_stdout(needle, std::chrono::seconds(20), from);
    }
    // Closes stdin (unless told not to) and waits for the exit status.
    int finish(bool close_input = true) {
        return child_->wait_exit(std::chrono::seconds(30), close_input);
    }

    qtest::Child &child() { return *child_; }
    const std::string &out() const { return child_->out(); }
    const std::string &err() const { return child_->err(); }
    // Stdout after the handshake block.
    std::string replies() const;
    // The adapter's call record, one entry per call.
    std::vector<std::string> record() const;
    // Only the entries that begin with one of `prefixes`.
    std::vector<std::string> record_of(std::initializer_list<std::string_view> prefixes) const;

private:
    qtest::TempDir dir_;  // holds the call record; outlives the child
    std::string log_path_;
    std::unique_ptr<qtest::Child> child_;
};

// The common case: start, shake hands, send `input`, close input and
// wait for the exit. The result is stdout after the handshake.
struct Served {
    std::string replies;
    std::string err;
    int status = -1;
    std::vector<std::string> record;
};
Served serve(std::string_view input, const Env &env = {});

// The bytes of one 705 block as the server must receive them.
std::string audio_block(int bits, int channels, int rate, int frames, int big_endian,
                        std::string_view escaped_payload);

}  // namespace rt
