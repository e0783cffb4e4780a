// SPDX-License-Identifier: BSD-2-Clause
// One quorlin process with the fake engine per Module: its configuration
// written to a scratch directory, the engine's call log and stop log kept
// there, and the handshake and exchanges driven through qtest::Child.
// What a reply or a log line must be is left to the tests.
#include "module_harness.h"

#include <fstream>
#include <sstream>

#ifndef QUORLIN_FAKE_MODULE
#error "QUORLIN_FAKE_MODULE must name the module linked with the fake engine"
#endif

namespace adapter_test {

Module::Module(const ModuleOptions &options)
    : log_path_(dir_.path() + "/engine.log"), stop_log_path_(dir_.path() + "/stop.log") {
    qtest::ChildOptions co = qtest::fake_module_options(QUORLIN_FAKE_MODULE, options.env);
    if (options.config) co.argv.push_back(dir_.write("quorlin.conf", *options.config));
    if (options.config_path) co.argv.push_back(*options.config_path);
    co.env.emplace_back("QUORLIN_FAKE_LOG", log_path_);
    co.env.emplace_back("QUORLIN_FAKE_STOP_LOG", stop_log_path_);
    child_ = std::make_unique<qtest::Child>(co);
}

bool Module::handshake() {
    child_->write("INIT\n");
    for (auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
         std::chrono::steady_clock::now() < until;) {
        if (child_->out().find("299 OK LOADED SUCCESSFULLY\n") != std::string::npos) return true;
        if (child_->out().find("399 ERR CANT INIT MODULE\n") != std::string::npos) return false;
        if (child_->exited()) return false;
        child_->pump_for(std::chrono::milliseconds(20));
    }
    return false;
}

size_t Module::send(std::string_view bytes) {
    size_t from = child_->out().size();
    child_->write(bytes);
    return from;
}

bool Module::wait_for(std::string_view needle, size_t from, std::chrono::milliseconds deadline) {
    return child_->wait_for_stdout(needle, deadline, from);
}

size_t Module::speak(std::string_view command, std::string_view text, std::string_view last_line) {
    size_t from = send(block(command, text));
    wait_for(last_line, from);
    return from;
}

qtest::Parsed Module::parsed_since(size_t from) const {
    return qtest::parse_protocol(std::string_view(child_->out()).substr(from));
}

Lines Module::summary_since(size_t from) const { return qtest::summary(parsed_since(from)); }

namespace {

Lines file_lines(const std::string &path, size_t from) {
    std::ifstream f(path);
    Lines lines;
    for (std::string line; std::getline(f, line);) lines.push_back(line);
    if (from >= lines.size()) return {};
    return Lines(lines.begin() + static_cast<std::ptrdiff_t>(from), lines.end());
}

}  // namespace

Lines Module::engine_log(size_t from) const { return file_lines(log_path_, from); }

Lines Module::stop_log() const { return file_lines(stop_log_path_, 0); }

Lines Module::stderr_lines() const {
    // What the module wrote to stderr before the stdout that a test waited
    // for may still sit in the pipe: a poll can find only stdout ready and
    // the read then take later output along. Collect what is there.
    child_->pump_for(std::chrono::milliseconds(20));
    Lines lines;
    std::istringstream s(child_->err());
    for (std::string line; std::getline(s, line);) lines.push_back(line);
    return lines;
}

size_t Module::count_stderr(std::string_view line) const {
    size_t n = 0;
    for (auto &l : stderr_lines()) n += l == line;
    return n;
}

std::string joined_audio(const qtest::Parsed &p) {
    std::string all;
    for (auto &it : p.items)
        if (it.is_audio) all += it.payload;
    return all;
}

size_t count_blocks(const qtest::Parsed &p) {
    size_t n = 0;
    for (auto &it : p.items) n += it.is_audio;
    return n;
}

std::string block(std::string_view command, std::string_view text) {
    std::string b(command);
    b += "\n";
    b += text;
    b += "\n.\n";
    return b;
}

}  // namespace adapter_test
