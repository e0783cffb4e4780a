// SPDX-License-Identifier: BSD-2-Clause
// A session with the quorlin module, driven exactly as a speech server
// drives it: the module runs as a child on three pipes; quorlin-say sends
// INIT, an optional SET block, one SPEAK block per message and QUIT, and
// decodes the 705 audio blocks that come back. Every wait is bounded by
// the timeout. The module's standard error is read all along (so that it
// never fills up and stalls the module), shown under --trace and
// otherwise kept, without the message text, for a failure report.
#pragma once

#include <stdint.h>
#include <sys/types.h>

#include <deque>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace say {

// Where decoded samples go: `bytes` holds 16-bit little-endian mono
// samples at `rate` Hz.
class AudioSink {
public:
    virtual ~AudioSink() = default;
    virtual void put(int rate, const char *bytes, size_t n) = 0;
};

// Called with a mark's name when the module reports it, that is when
// the audio before the mark has been handed to the sink.
using MarkReached = std::function<void(const std::string &name)>;

class ModuleSession {
public:
    // Starts `path` with `config` as its argument ("" for none).
    ModuleSession(const std::string &path, const std::string &config, bool trace, int timeout_s);
    // Ends and reaps the module if that has not happened yet.
    ~ModuleSession();
    ModuleSession(const ModuleSession &) = delete;
    ModuleSession &operator=(const ModuleSession &) = delete;

    void handshake();
    // The module's voices, one "NAME<TAB>LANGUAGE<TAB>VARIANT" line each
    // (LIST VOICES); empty when it lists none.
    std::vector<std::string> list_voices();
    // Sends one SET block of name=value lines (none when empty).
    void send_settings(const std::vector<std::pair<std::string, std::string>> &settings);
    // Speaks message number `index` (from 1), which ends with "702 END"
    // or "704 PAUSE"; index marks go to `on_mark` (which may be empty).
    // False when the module found nothing to speak in it: it answers
    // "301 ERROR CANT SPEAK" to a text that is empty once its markup is
    // dropped, and the session goes on.
    bool speak(const std::string &text, size_t index, AudioSink &sink, const MarkReached &on_mark);
    // Sends QUIT and waits, within the timeout, for the module to exit
    // with status 0; kills it when it has not.
    void quit();
    // After an interrupt: asks the module to stop and quit, and kills it
    // if it has not ended after a short grace. Never throws.
    void stop_now();

    // The module's last lines of standard error, message text left out.
    const std::deque<std::string> &diagnostics() const { return err_tail_; }

private:
    void send_line(std::string_view line, const char *label = "");
    void send(std::string_view bytes);
    // Reads more of the module's standard output; false once it closed it.
    bool read_more();
    // The offset from pos_ of the first line feed at or after the offset
    // `from`, reading more as needed; fails when the output ends first.
    size_t line_end(size_t from);
    std::string read_line();
    std::string traced_line();
    void trace(const std::string &text) const;
    int header_field(std::string_view key);
    void read_audio_block(const std::string &first, AudioSink &sink);
    [[noreturn]] void refused(const std::string &what, const std::string &reply);
    std::string ended_text();
    bool pump(bool want_write, int own_timeout_ms = -1);
    void make_room();
    void take_stderr(std::string_view bytes);
    bool reap(bool block);

    bool trace_;
    int timeout_ms_;
    std::string waiting_for_ = "the module to start";  // named by a timeout
    pid_t pid_ = -1;
    int in_ = -1, out_ = -1, err_ = -1;
    // The module's standard output as read: [pos_, end_) is unread. An
    // audio block's payload is unescaped here in place and handed to the
    // sink from here, so that its bytes are copied once, by the read.
    std::vector<char> buf_;
    size_t pos_ = 0, end_ = 0;
    std::string err_partial_;
    bool in_message_text_ = false;  // continuation lines of a "Speaking:" line
    std::deque<std::string> err_tail_;
    bool stopping_ = false;  // stop_now runs: the interrupt is known
    bool exited_ = false;
    int raw_status_ = 0;
    int status_ = -1;
    int rate_ = 0;
};

}  // namespace say
