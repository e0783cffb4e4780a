// SPDX-License-Identifier: BSD-2-Clause
// What the reference engine's tests share: an engine instance wired to a
// callback that keeps every sample and index reply, a way to speak from
// one eSpeak NG state in several child processes, and measures of audio.
#pragma once

#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "eci_corvane.h"

namespace qref {

inline constexpr const char *sentence =
    "Hello from quorlin. This sentence was spoken through the module.";

// What one engine instance delivered to its callback.
struct Capture {
    std::vector<short> buffer;    // the output buffer lent to the engine
    std::vector<short> samples;   // everything delivered, in order
    std::vector<long> counts;     // the count of every waveform callback
    // Every index reply: its number and the samples delivered before it.
    std::vector<std::pair<long, size_t>> replies;
    int refuse_on_call = 0;       // answer eciDataNotProcessed on this call (1-based)
    long refuse_index = 0;        // answer eciDataNotProcessed to this index reply
    bool stop_on_first = false;   // call eciStop from inside the first callback
};

inline ECICallbackReturn on_samples(ECIHand h, ECIMessage msg, long count, void *data) {
    auto *c = static_cast<Capture *>(data);
    if (msg == eciIndexReply) {
        c->replies.emplace_back(count, c->samples.size());
        return count == c->refuse_index ? eciDataNotProcessed : eciDataProcessed;
    }
    if (msg != eciWaveformBuffer) return eciDataProcessed;
    c->counts.push_back(count);
    if (count > 0 && static_cast<size_t>(count) <= c->buffer.size())
        c->samples.insert(c->samples.end(), c->buffer.begin(), c->buffer.begin() + count);
    if (c->stop_on_first && c->counts.size() == 1) eciStop(h);
    if (c->refuse_on_call == static_cast<int>(c->counts.size())) return eciDataNotProcessed;
    return eciDataProcessed;
}

// The samples `speak` returns when run in a child process forked from
// this one, so that several runs start from the same eSpeak NG state;
// whatever `speak` changes stays in the child.
template <typename F>
std::vector<short> run_in_child(F speak) {
    int fds[2];
    if (pipe(fds) != 0) return {};
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        std::vector<short> s = speak();
        FILE *f = fdopen(fds[1], "wb");
        bool sent = s.empty() || fwrite(s.data(), sizeof(short), s.size(), f) == s.size();
        _exit(sent && fclose(f) == 0 ? 0 : 1);
    }
    close(fds[1]);
    FILE *f = fdopen(fds[0], "rb");
    std::vector<short> out;
    for (short v; fread(&v, sizeof v, 1, f) == 1;) out.push_back(v);
    fclose(f);
    int status = -1;
    if (pid > 0) waitpid(pid, &status, 0);
    EXPECT_EQ(status, 0);
    return out;
}

// An engine instance wired to a Capture, deleted at the end of the test.
class Engine {
public:
    explicit Engine(size_t buffer_samples = 20000) {
        h_ = eciNew();
        cap_.buffer.assign(buffer_samples, 0);
        if (!h_) return;
        eciRegisterCallback(h_, on_samples, &cap_);
        ok_ = eciSetOutputBuffer(h_, static_cast<int>(buffer_samples), cap_.buffer.data()) != 0;
        // The first message of a process runs about 20 ms short; tests
        // compare later messages with each other.
        static bool warmed_up = false;
        if (ok_ && !warmed_up) {
            warmed_up = true;
            speak(sentence);
        }
    }
    ~Engine() {
        if (h_) eciDelete(h_);
    }
    Engine(const Engine &) = delete;
    Engine &operator=(const Engine &) = delete;

    bool ok() const { return h_ && ok_; }
    ECIHand h() const { return h_; }
    Capture &capture() { return cap_; }

    // Speaks one message the way the module does and returns its samples.
    std::vector<short> speak(const char *text) {
        cap_.samples.clear();
        cap_.counts.clear();
        cap_.replies.clear();
        EXPECT_NE(eciAddText(h_, text), 0);
        EXPECT_NE(eciSynthesize(h_), 0);
        EXPECT_NE(eciSynchronize(h_), 0);
        return cap_.samples;
    }

    // Speaks a text with an index at every '|', numbered first_index, +1, ...
    std::vector<short> speak_marked(const std::string &marked, long first_index) {
        size_t start = 0;
        for (size_t bar; (bar = marked.find('|', start)) != std::string::npos; start = bar + 1) {
            EXPECT_NE(eciAddText(h_, marked.substr(start, bar - start).c_str()), 0);
            EXPECT_NE(eciInsertIndex(h_, static_cast<int>(first_index++)), 0);
        }
        return speak(marked.substr(start).c_str());
    }

    // What this instance would make of a text now, spoken in a child
    // process: eSpeak NG carries state from one message into the next,
    // so only a message spoken from the same state compares sample for
    // sample.
    std::vector<short> speak_in_child(const std::string &text) {
        return run_in_child([&] { return speak(text.c_str()); });
    }

private:
    ECIHand h_ = nullptr;
    bool ok_ = false;
    Capture cap_;
};

inline double rms(const std::vector<short> &s) {
    double sum = 0;
    for (short v : s) sum += static_cast<double>(v) * v;
    return s.empty() ? 0 : std::sqrt(sum / static_cast<double>(s.size()));
}

inline int peak(const std::vector<short> &s) {
    int p = 0;
    for (short v : s) p = std::max(p, std::abs(static_cast<int>(v)));
    return p;
}

// Sign changes per sample.
inline double crossings(const std::vector<short> &s) {
    size_t n = 0;
    for (size_t i = 1; i < s.size(); i++) n += (s[i - 1] < 0) != (s[i] < 0);
    return s.size() < 2 ? 0 : static_cast<double>(n) / static_cast<double>(s.size());
}

// Sample counts of two messages of the same text and voice: eSpeak NG
// may make one a few milliseconds longer than the other.
inline void expect_about_same(size_t a, size_t b) {
    EXPECT_NEAR(static_cast<double>(a), static_cast<double>(b), 0.03 * static_cast<double>(b));
}

inline double seconds(const std::vector<short> &s, int hz) { return static_cast<double>(s.size()) / hz; }

// Samples from `from` up to the first one loud enough to be heard.
inline size_t silence_from(const std::vector<short> &s, size_t from) {
    size_t i = from;
    while (i < s.size() && std::abs(static_cast<int>(s[i])) < 300) i++;
    return i - from;
}

inline int rate_hz_of(int code) { return code == 0 ? 8000 : code == 1 ? 11025 : 22050; }

}  // namespace qref
