// SPDX-License-Identifier: BSD-2-Clause
// One stand-in module per rt::Module: the recording adapter's log in a
// scratch directory, the init message scripted "ready" unless a test
// says otherwise, and the replies after the handshake cut out for the
// tests. The stand-in itself is recording_adapter.cpp's.
#include "harness.h"

#include <algorithm>
#include <fstream>
#include <sstream>

namespace rt {

Module::Module(const Env &env, const std::vector<std::string> &args,
               const std::vector<std::string> &unset)
    : log_path_(dir_.path() + "/record.log") {
    qtest::ChildOptions options;
    options.argv.push_back(RUNTIME_MODULE);
    options.argv.insert(options.argv.end(), args.begin(), args.end());
    if (std::find(unset.begin(), unset.end(), "QREC_INIT_MESSAGE") == unset.end())
        options.env.emplace_back("QREC_INIT_MESSAGE", "ready");
    options.env.emplace_back("QREC_LOG", log_path_);
    for (const auto &kv : env) options.env.push_back(kv);
    options.unset_env = unset;
    child_ = std::make_unique<qtest::Child>(options);
}

bool Module::handshake() { return send("INIT\n") && wait_out("299 OK LOADED SUCCESSFULLY\n"); }

bool Module::send_pieces(const std::vector<std::string> &pieces,
                         std::chrono::milliseconds pause) {
    for (size_t i = 0; i < pieces.size(); ++i) {
        if (i > 0) {
            // Let the module see each piece on its own.
            child_->pump_for(pause);
        }
        if (!send(pieces[i])) return false;
    }
    return true;
}

std::string Module::replies() const {
    const std::string &o = out();
    auto at = o.find("299 OK LOADED SUCCESSFULLY\n");
    if (at == std::string::npos) return o;
    return o.substr(at + std::string_view("299 OK LOADED SUCCESSFULLY\n").size());
}

std::vector<std::string> Module::record() const {
    std::ifstream in(log_path_);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::vector<std::string> Module::record_of(std::initializer_list<std::string_view> prefixes) const {
    std::vector<std::string> picked;
    for (const auto &line : record())
        for (auto p : prefixes)
            if (std::string_view(line).starts_with(p)) {
                picked.push_back(line);
                break;
            }
    return picked;
}

Served serve(std::string_view input, const Env &env) {
    Module m(env);
    Served s;
    if (!m.handshake()) {
        s.replies = "(no handshake) " + m.out();
        return s;
    }
    m.send(input);
    s.status = m.finish();
    s.replies = m.replies();
    s.err = m.err();
    s.record = m.record();
    return s;
}

std::string audio_block(int bits, int channels, int rate, int frames, int big_endian,
                        std::string_view escaped_payload) {
    std::ostringstream o;
    o << "705-bits=" << bits << "\n705-num_channels=" << channels << "\n705-sample_rate=" << rate
      << "\n705-num_samples=" << frames << "\n705-big_endian=" << big_endian << "\n705-AUDIO";
    std::string s = o.str();
    s.push_back('\0');
    s.append(escaped_payload);
    s += "\n705 AUDIO\n";
    return s;
}

}  // namespace rt
