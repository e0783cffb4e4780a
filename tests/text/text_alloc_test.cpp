// SPDX-License-Identifier: BSD-2-Clause
// Allocation in text preparation: a failed allocation fails the stage
// and leaves nothing behind, and a success leaves exactly the result.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "fault_injection.h"
#include "quorlin_faithful.h"
#include "quorlin_text.h"

namespace {

namespace fault = qtest::fault;

// What a run asked of malloc and gave back to free.
struct Counts {
    size_t allocs;  // allocations that succeeded
    size_t frees;   // non-null frees
};

struct Prepared {
    char *result;
    Counts counts;
};

// Prepares `text` with the `fail_at`-th allocation failing (0: none).
Prepared run_prepare(const char *text, NRVMessageType type, unsigned fail_at)
{
    fault::fail_nth(fault::call::malloc, fail_at);
    char *r = prepare_text(text, strlen(text), type);
    fault::disarm(fault::call::malloc);
    return {r, {fault::counted(fault::call::malloc).succeeded, fault::frees()}};
}

}  // namespace

TEST(TextAllocation, FailedAllocationFailsAndFreesEverything)
{
    struct Row {
        const char *name;
        NRVMessageType type;
        unsigned fail_at;
    };
    const Row rows[] = {
        {"text, stage one", NRV_MSGTYPE_TEXT, 1},
        {"text, sanitiser", NRV_MSGTYPE_TEXT, 2},
        {"sound icon, sanitiser", NRV_MSGTYPE_SOUND_ICON, 2},
        {"character, stage one", NRV_MSGTYPE_CHAR, 1},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        Prepared run = run_prepare("<b>Price:</b> \xC2\xA3" "5", r.type, r.fail_at);
        EXPECT_EQ(run.result, nullptr);
        EXPECT_EQ(run.counts.allocs, run.counts.frees);
        free(run.result);
    }
}

TEST(TextAllocation, CallerOwnsExactlyOneBuffer)
{
    struct Row {
        const char *name;
        const char *text;
        NRVMessageType type;
        bool succeeds;
        size_t allocs;  // at most one per stage
    };
    const Row rows[] = {
        {"sanitised", "Price: \xC2\xA3" "5", NRV_MSGTYPE_TEXT, true, 2},
        {"plain", "Price: \xC2\xA3" "5", NRV_MSGTYPE_KEY, true, 1},
        {"empty after trimming", " <x> \t", NRV_MSGTYPE_TEXT, false, 1},
        {"empty after sanitising", "\xE2\x80", NRV_MSGTYPE_TEXT, false, 2},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        Prepared run = run_prepare(r.text, r.type, 0);
        EXPECT_EQ(run.result != nullptr, r.succeeds);
        EXPECT_EQ(run.counts.allocs, r.allocs);
        EXPECT_EQ(run.counts.frees, r.allocs - (r.succeeds ? 1 : 0));
        free(run.result);
    }
}

TEST(TextAllocation, StagesReturnNullWhenAllocationFails)
{
    char *plain;
    char *clean;
    fault::fail_nth(fault::call::malloc, 1);
    plain = strip_ssml("abc", 3);
    clean = sanitize_for_corvane("abc");
    fault::disarm(fault::call::malloc);
    EXPECT_EQ(plain, nullptr);
    EXPECT_NE(clean, nullptr);  // only the first allocation fails
    free(clean);
    fault::fail_nth(fault::call::malloc, 1);
    clean = sanitize_for_corvane("abc");
    fault::disarm(fault::call::malloc);
    EXPECT_EQ(clean, nullptr);
}

// The faithful preparation takes the same two buffers, one per stage.
TEST(TextAllocation, FaithfulFailsCleanlyAtEitherBuffer)
{
    const char text[] = "<b>Price:</b> \xC2\xA3" "5 a+b \xCE\xB1";
    faithful_settings s;
    for (unsigned fail_at : {0u, 1u, 2u}) {
        SCOPED_TRACE(fail_at);
        fault::fail_nth(fault::call::malloc, fail_at);
        char *r = prepare_faithful(text, strlen(text), NRV_MSGTYPE_TEXT, &s);
        fault::disarm(fault::call::malloc);
        const size_t allocs = fault::counted(fault::call::malloc).succeeded;
        EXPECT_EQ(r != nullptr, fail_at == 0);
        EXPECT_EQ(allocs, fail_at == 0 ? 2u : fail_at - 1);
        EXPECT_EQ(fault::frees(), allocs - (r != nullptr ? 1 : 0));
        free(r);
    }
}

// A word that goes through ICU takes the stage's own buffers, and a
// failure among them or inside ICU fails the message and frees them all.
// The stage remembers the words it has rewritten, so each try holds
// words it has not seen: the same three with another letter after them.
TEST(TextAllocation, UnicodeStageFailsCleanly)
{
    const auto text = [](unsigned n) {
        const char x = static_cast<char>('a' + n);
        return std::string("\xD0\x9C\xD0\xB8\xD1\x80") + x + " cafe\xCC\x81" + x + " \xC5\x82" + x;
    };
    faithful_settings s;
    const char warm[] = "\xD0\x9C \xC5\x81";  // makes ICU's objects
    free(prepare_faithful(warm, strlen(warm), NRV_MSGTYPE_TEXT, &s));
    std::string t = text(0);
    fault::fail_nth(fault::call::malloc, 0);
    char *r = prepare_faithful(t.data(), t.size(), NRV_MSGTYPE_TEXT, &s);
    fault::disarm(fault::call::malloc);
    const size_t needed = fault::counted(fault::call::malloc).succeeded;
    ASSERT_NE(r, nullptr);
    EXPECT_STREQ(r, "Mira caf\xE9" "a la");
    free(r);
    EXPECT_GT(needed, 2u) << "the stage's own buffers are among them";
    for (unsigned fail_at = 1; fail_at <= needed; ++fail_at) {
        SCOPED_TRACE(fail_at);
        t = text(fail_at);
        fault::fail_nth(fault::call::malloc, fail_at);
        r = prepare_faithful(t.data(), t.size(), NRV_MSGTYPE_TEXT, &s);
        fault::disarm(fault::call::malloc);
        const size_t allocs = fault::counted(fault::call::malloc).succeeded;
        EXPECT_EQ(r, nullptr);
        EXPECT_EQ(fault::frees(), allocs);
        free(r);
    }
}
