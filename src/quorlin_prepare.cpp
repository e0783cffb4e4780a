// SPDX-License-Identifier: BSD-2-Clause
/*
 * The one entry point of the text preparation (quorlin_prepare.h). It
 * owns no state: it picks the cleaning the request names, default
 * (quorlin_text.cpp) or faithful (quorlin_faithful.cpp), with or without
 * marks, and applies the one rule that holds before either, the space
 * key's.
 */
#include "quorlin_prepare.h"

#include <cstring>

namespace {

/* The intake turns the space key's name into one blank, which either
 * cleaning would trim to nothing and refuse; a listener pressing space
 * must hear it, so the engine is told the key's name. */
bool is_space_key(const text_request &r) {
    return (r.type == NRV_MSGTYPE_CHAR || r.type == NRV_MSGTYPE_KEY) && r.bytes == 1 &&
           r.data[0] == ' ';
}

/* The text alone, in `out` with no marks. */
int prepare_plain(const char *data, size_t bytes, const text_request &r, marked_text *out) {
    out->text = r.faithful ? prepare_faithful(data, bytes, r.type, r.settings)
                           : prepare_text(data, bytes, r.type);
    if (!out->text) return -1;
    out->length = strlen(out->text);
    return 0;
}

}  // namespace

int prepare_for_engine(const text_request *request, marked_text *out) {
    const text_request &r = *request;
    const char *data = r.data;
    size_t bytes = r.bytes;
    if (is_space_key(r)) {
        data = "space";
        bytes = 5;
    }
    *out = marked_text{};
    if (!r.gather_marks) return prepare_plain(data, bytes, r, out);
    return r.faithful ? prepare_marked_faithful(data, bytes, r.type, r.settings, out)
                      : prepare_marked_text(data, bytes, r.type, out);
}
