// SPDX-License-Identifier: BSD-2-Clause
// Reads a module's stdout as a server does: reply lines as they are, and
// each 705 block checked field by field and unescaped. Output cut short
// is kept in `rest` rather than reported, so that a test can parse what
// has arrived so far; a malformed block stops the parse with a reason.
// The escaping here is the plain byte-by-byte form, kept apart from the
// writer's own so that each checks the other.
#include "protocol.h"

#include <cstdlib>

namespace qtest {

namespace {

bool take_line(std::string_view &s, std::string_view &line) {
    auto lf = s.find('\n');
    if (lf == std::string_view::npos) return false;
    line = s.substr(0, lf);
    s.remove_prefix(lf + 1);
    return true;
}

bool header_field(std::string_view &s, std::string_view key, int &value, std::string &err) {
    std::string_view line;
    if (!take_line(s, line)) { err = "cut header"; return false; }
    std::string want = "705-" + std::string(key) + "=";
    if (line.substr(0, want.size()) != want) {
        err = "expected " + want + " got " + std::string(line);
        return false;
    }
    value = std::atoi(std::string(line.substr(want.size())).c_str());
    return true;
}

}  // namespace

Parsed parse_protocol(std::string_view s) {
    Parsed p;
    while (!s.empty()) {
        std::string_view save = s;
        if (s.substr(0, 9) == "705-bits=") {
            Item it;
            it.is_audio = true;
            std::string err;
            if (!header_field(s, "bits", it.bits, err) ||
                !header_field(s, "num_channels", it.num_channels, err) ||
                !header_field(s, "sample_rate", it.sample_rate, err) ||
                !header_field(s, "num_samples", it.num_samples, err) ||
                !header_field(s, "big_endian", it.big_endian, err)) {
                if (err == "cut header") { p.rest = std::string(save); return p; }
                p.ok = false; p.error = err; p.rest = std::string(save); return p;
            }
            std::string_view start("705-AUDIO\0", 10);
            if (s.size() < start.size()) { p.rest = std::string(save); return p; }
            if (s.substr(0, start.size()) != start) {
                p.ok = false; p.error = "no 705-AUDIO NUL"; p.rest = std::string(save); return p;
            }
            s.remove_prefix(start.size());
            auto lf = s.find('\n');
            if (lf == std::string_view::npos) { p.rest = std::string(save); return p; }
            std::string_view wire = s.substr(0, lf);
            it.wire_payload_bytes = wire.size();
            for (size_t i = 0; i < wire.size(); ++i) {
                if (wire[i] == '}') {
                    if (i + 1 >= wire.size()) { p.ok = false; p.error = "dangling escape"; return p; }
                    it.payload.push_back(static_cast<char>(wire[++i] ^ 0x20));
                } else {
                    it.payload.push_back(wire[i]);
                }
            }
            s.remove_prefix(lf + 1);
            std::string_view end;
            if (!take_line(s, end)) { p.rest = std::string(save); return p; }
            if (end != "705 AUDIO") {
                p.ok = false; p.error = "expected 705 AUDIO got " + std::string(end);
                p.rest = std::string(save); return p;
            }
            p.items.push_back(std::move(it));
            continue;
        }
        std::string_view line;
        if (!take_line(s, line)) { p.rest = std::string(s); return p; }
        Item it;
        it.line = std::string(line);
        p.items.push_back(std::move(it));
    }
    return p;
}

std::vector<std::string> summary(const Parsed &p) {
    std::vector<std::string> v;
    for (auto &it : p.items) v.push_back(it.is_audio ? std::string("705") : it.line);
    return v;
}

std::string escape_payload(std::string_view raw) {
    std::string w;
    for (char c : raw) {
        if (c == '}' || c == '\n') {
            w.push_back('}');
            w.push_back(static_cast<char>(c ^ 0x20));
        } else {
            w.push_back(c);
        }
    }
    return w;
}

}  // namespace qtest
