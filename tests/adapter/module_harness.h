// SPDX-License-Identifier: BSD-2-Clause
// The quorlin binary linked with the fake engine, run as a server would run
// it: a scratch directory for its configuration file and the engine's call
// log, the fake engine scripted through the environment, and helpers that
// cut stdout, stderr and the call log at the start of each exchange.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "child_process.h"
#include "fake_module.h"
#include "protocol.h"
#include "temp_dir.h"

namespace adapter_test {

namespace {
// Test tables name their rows; GoogleTest prints a row by that name
// instead of dumping its bytes into every test's title.
template <typename Row, typename = decltype(std::declval<const Row &>().name)>
std::ostream &operator<<(std::ostream &os, const Row &row) {
    return os << row.name;
}
}  // namespace

using Env = std::vector<std::pair<std::string, std::string>>;
using Lines = std::vector<std::string>;

using qtest::TempDir;

struct ModuleOptions {
    Env env;                            // QUORLIN_FAKE_* settings
    std::optional<std::string> config;  // configuration file contents
    std::optional<std::string> config_path;  // a path given as is
};

class Module {
public:
    explicit Module(const ModuleOptions &options = {});

    // Sends INIT and waits for the end of the 299 or 399 block; true on 299.
    bool handshake();
    // Writes bytes to stdin; returns the length of stdout before them, so
    // that what they caused can be cut out with output_since.
    size_t send(std::string_view bytes);
    bool wait_for(std::string_view needle, size_t from,
                  std::chrono::milliseconds deadline = std::chrono::seconds(20));
    // Sends one message block and waits for `last_line` (with its line
    // feed) after it; returns where its output starts.
    size_t speak(std::string_view command, std::string_view text,
                 std::string_view last_line = "702 END\n");

    qtest::Parsed parsed_since(size_t from) const;
    Lines summary_since(size_t from) const;
    // The engine's call log, whole or from line `from` on.
    Lines engine_log(size_t from = 0) const;
    // The engine's timed log of stops and of the end of each synthesis.
    Lines stop_log() const;
    // Stderr so far, including what arrived before the last awaited stdout.
    Lines stderr_lines() const;
    size_t count_stderr(std::string_view line) const;

    qtest::Child &child() { return *child_; }
    const TempDir &dir() const { return dir_; }

private:
    TempDir dir_;
    std::string log_path_;
    std::string stop_log_path_;
    std::unique_ptr<qtest::Child> child_;
};

using qtest::fake_audio;
// The payloads of all audio blocks in `p`, joined.
std::string joined_audio(const qtest::Parsed &p);
size_t count_blocks(const qtest::Parsed &p);

std::string block(std::string_view command, std::string_view text);

// Names each row of a parameterised table by its `name` field.
struct CaseName {
    template <class Row>
    std::string operator()(const ::testing::TestParamInfo<Row> &row) const {
        return row.param.name;
    }
};

}  // namespace adapter_test
