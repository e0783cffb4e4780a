// SPDX-License-Identifier: BSD-2-Clause
// Fuzz target for text preparation: every input is prepared as each kind
// of message, and the results are checked for what the engine relies on,
// so that a wrong result fails like a crash.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "quorlin_text.h"

namespace {

bool engine_safe(char c)
{
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))
        return true;
    return c != '\0' && std::string_view("\t\n !$',.?").find(c) != std::string_view::npos;
}

bool is_blank(char c)
{
    return c == '\t' || c == '\n' || c == ' ';
}

// Every "<" or ">" of a plain result was decoded from an entity, and each
// entity takes one "&" of the input.
void check_plain(std::string_view in, std::string_view plain)
{
    size_t ampersands = 0;
    size_t markup = 0;
    for (char c : in)
        ampersands += c == '&';
    for (char c : plain)
        markup += c == '<' || c == '>';
    if (plain.empty() || plain.size() > in.size() || markup > ampersands)
        abort();
    if (is_blank(plain.front()) || is_blank(plain.back()))
        abort();
}

void check_sanitised(std::string_view in, std::string_view clean)
{
    if (clean.empty() || clean.size() > 2 * in.size() + in.size() / 2)
        abort();
    for (char c : clean) {
        if (!engine_safe(c))
            abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const char *text = reinterpret_cast<const char *>(data);
    std::string_view in(size > 0 ? text : "", size);
    char *plain = prepare_text(text, size, NRV_MSGTYPE_CHAR);
    if (plain != nullptr)
        check_plain(in, plain);
    for (NRVMessageType type : {NRV_MSGTYPE_KEY, NRV_MSGTYPE_SPELL}) {
        char *r = prepare_text(text, size, type);
        if ((r == nullptr) != (plain == nullptr) || (r != nullptr && strcmp(r, plain) != 0))
            abort();
        free(r);
    }
    for (NRVMessageType type : {NRV_MSGTYPE_TEXT, NRV_MSGTYPE_SOUND_ICON}) {
        char *r = prepare_text(text, size, type);
        if (r != nullptr && plain == nullptr)
            abort();
        if (r != nullptr)
            check_sanitised(plain, r);
        free(r);
    }
    free(plain);
    return 0;
}
