// SPDX-License-Identifier: BSD-2-Clause
// Where quorlin-say's audio goes: a WAV file, a WAV stream on standard
// output, raw PCM, or an audio player. A sink is made before the module
// starts (so that a path that cannot be written or a missing player is
// reported before any work), takes the samples as they arrive, and ends
// in one of three ways: complete (the run succeeded), interrupted (keep
// what was written, playable) or abandoned (the run failed: an existing
// file stays as it was, and only what the sink created is removed).
#pragma once

#include <stdint.h>

#include <memory>
#include <string>

#include "say_module.h"
#include "say_options.h"

namespace say {

class Sink : public AudioSink {
public:
    void put(int rate, const char *bytes, size_t n) override;
    virtual void complete() = 0;
    virtual void interrupted() = 0;
    virtual void abandon() = 0;
    // What became of the audio, for the summary line ("wrote x.wav").
    virtual std::string destination() const = 0;
    // Empty while the audio put in place still is there; otherwise what
    // became of it (another file took its name), so that no summary
    // claims it.
    virtual std::string displaced() const { return ""; }

    uint64_t samples() const { return bytes_ / 2; }
    int rate() const { return rate_; }

protected:
    // The first block, before its bytes are written.
    virtual void start(int rate) = 0;
    virtual void write(const char *bytes, size_t n) = 0;
    uint64_t bytes_ = 0;
    int rate_ = 0;
};

// The sink for the options' destination.
std::unique_ptr<Sink> make_sink(const Options &o);

class Output;

// The --marks file: one line "NAME<TAB>SECONDS" per mark reached. It is
// put in place as the audio file is: kept when the run succeeds or is
// interrupted, and an earlier file left as it was when the run fails.
class MarkLog {
public:
    // `path` "-" is standard output; `timeout_ms` bounds every wait on a
    // reader of a FIFO or pipe.
    MarkLog(const std::string &path, int timeout_ms);
    ~MarkLog();
    MarkLog(const MarkLog &) = delete;
    MarkLog &operator=(const MarkLog &) = delete;

    // A mark reached after `samples` samples at `rate` Hz (0: no audio yet).
    void add(const std::string &name, uint64_t samples, int rate);
    void complete();
    void abandon();

private:
    std::unique_ptr<Output> out_;
};

// The data length of a stream whose length is not known when its header
// leaves: sox's own mark for "unknown", with which sox reads to the end
// without the "Premature EOF" warning that UINT32_MAX earns on every
// run. aplay reads to the end with either, silently; ffmpeg does too,
// and warns of a "maximum wav data size" only for UINT32_MAX (its
// "Packet corrupt" for a last read shorter than 4096 bytes comes with
// any stream, its own included). A reader that trusts the length stops
// after 0x7FFFF000 bytes, some 13 hours at 22050 Hz.
constexpr uint32_t wav_unknown_length = 0x7ffff000;

// The 44-byte header of a mono 16-bit PCM WAV file holding `data_bytes`
// bytes of samples at `rate` Hz (wav_unknown_length for a stream).
std::string wav_header(int rate, uint32_t data_bytes);

}  // namespace say
