// SPDX-License-Identifier: BSD-2-Clause
// The server's side of a protocol fuzz run, read the way the module's
// line reader and command loop read it: which message commands came, the
// index marks each message's text names, and what ends a message early.
// The input is a file, so every line is there when the module looks: the
// pass after a message's first audio block reads on up to the first STOP,
// PAUSE or QUIT, and that command is what cuts the message short.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace fuzz_protocol {

// The command that the pass after a message's first block stops at.
enum class stop_kind { none, stop, pause, quit };

// What a message command asks for.
enum class message_kind { text, sound_icon, character, key };

// One message command (SPEAK, SOUND_ICON, CHAR, KEY) in input order: the
// n-th of them is the one the module's n-th "202 OK RECEIVING MESSAGE"
// acknowledges, whether it is spoken or refused.
struct message_command {
    message_kind kind;               // text is the only kind whose marks count
    bool marks_known;                // every mark of the text is written plainly
    std::vector<std::string> marks;  // then the marks' names, in text order
    stop_kind stopped_by;            // the first STOP, PAUSE or QUIT after it
};

// Every message command of `input`, whole lines only: a line cut at a NUL
// byte is no command, and the unfinished last line is never read.
std::vector<message_command> read_messages(std::string_view input);

}  // namespace fuzz_protocol
