// SPDX-License-Identifier: BSD-2-Clause
// The engine's side of a protocol fuzz run, read from the fake engine's
// call log: every call that broke the engine's contract, and for each
// message the module handed the engine, what it gave and how the hand-over
// ended. Where each index is reported follows the fake engine's own rule
// (fake_engine.cpp): after sample T * b / L of a synthesis of T samples
// whose L text bytes hold b before the index.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace fuzz_protocol {

// How the module's hand-over of one message ended.
enum class intake_end {
    synthesized,       // eciSynthesize took it
    synthesis_failed,  // eciSynthesize failed
    text_refused,      // an eciAddText failed; nothing more was called
};

// One message as the engine was given it, from the module's first call for
// it to the one that ended the hand-over.
struct intake {
    intake_end end;
    std::string text;                // the text given, every piece joined
    std::vector<size_t> mark_bytes;  // for each index placed in this
                                     // hand-over: text bytes before it in
                                     // what the synthesis speaks
    size_t spoken_bytes;             // text bytes the synthesis speaks
    size_t stale_bytes;              // of which given for an earlier message
    size_t stale_indexes;            // indexes given for an earlier message
};

struct engine_calls {
    std::vector<intake> intakes;  // in the order the module spoke them
    std::string fault;            // the first call that broke the contract
};

engine_calls read_engine_log(std::string_view log);

}  // namespace fuzz_protocol
