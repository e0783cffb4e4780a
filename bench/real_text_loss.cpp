// SPDX-License-Identifier: BSD-2-Clause
// real_text_loss: how many words of real text lose what they say on the
// way to the engine, for the default preparation and the faithful one at
// each punctuation level. The corpus (scripts/real_text_corpus.sh) holds
// one message per paragraph; each is sent as a server sends plain text,
// with & < > escaped.
//
// A word is a blank-delimited token holding a letter or a digit, with the
// sentence punctuation around it (. , ; : ! ? quotes, brackets) taken off.
// Each word is prepared alone, and it is lost when
//   - its letters and digits, folded to lower-case ASCII (ICU's Any-Latin
//     and Latin-ASCII), are not all in the engine's text, in order; or
//   - one of its other characters (a hyphen, %, /, a currency sign, an
//     emoji...) reaches the engine neither as itself nor as a name (a
//     name shows as letters the word does not have).
// A token of four or more copies of one symbol is decoration: the figure
// beside the losses counts the names the engine is given for it.
//
// It prints one line per mode and the characters most often lost, and
// asserts nothing.
//
// usage: real_text_loss [CORPUS]   (default build/real-text.txt)
#include <unicode/translit.h>
#include <unicode/uchar.h>
#include <unicode/ucnv.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "quorlin_faithful.h"
#include "quorlin_text.h"

namespace {

struct mode {
    const char *name;
    bool faithful;
    punct_level level;
};

constexpr mode modes[] = {
    {"default", false, punct_level::some},   {"faithful none", true, punct_level::none},
    {"faithful some", true, punct_level::some}, {"faithful most", true, punct_level::most},
    {"faithful all", true, punct_level::all},
};

std::vector<std::string> paragraphs_of(const std::string &text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string line, para;
    while (std::getline(in, line)) {
        if (line.find_first_not_of(" \t\r") == std::string::npos) {
            if (!para.empty()) out.push_back(para);
            para.clear();
        } else {
            if (!para.empty()) para += '\n';
            para += line;
        }
    }
    if (!para.empty()) out.push_back(para);
    return out;
}

std::string escaped(const std::string &s) {
    std::string out;
    for (char c : s) {
        if (c == '&')
            out += "&amp;";
        else if (c == '<')
            out += "&lt;";
        else if (c == '>')
            out += "&gt;";
        else
            out += c;
    }
    return out;
}

std::vector<std::string> tokens_of(const std::string &para) {
    std::vector<std::string> out;
    std::string tok;
    for (char c : para) {
        if (c == ' ' || c == '\t' || c == '\n') {
            if (!tok.empty()) out.push_back(tok);
            tok.clear();
        } else {
            tok += c;
        }
    }
    if (!tok.empty()) out.push_back(tok);
    return out;
}

std::vector<UChar32> code_points(const std::string &s) {
    icu::UnicodeString u = icu::UnicodeString::fromUTF8(s);
    std::vector<UChar32> cps;
    for (int32_t i = 0; i < u.length(); i = u.moveIndex32(i, 1)) cps.push_back(u.char32At(i));
    return cps;
}

std::string utf8_of(const std::vector<UChar32> &cps, size_t from, size_t to) {
    icu::UnicodeString u;
    for (size_t i = from; i < to; ++i) u.append(cps[i]);
    std::string s;
    u.toUTF8String(s);
    return s;
}

// Sentence punctuation that may stand around a word without being part of it.
bool is_edge(UChar32 c) {
    switch (c) {
    case '.': case ',': case ';': case ':': case '!': case '?': case '"': case '\'':
    case '(': case ')': case '[': case ']': case '{': case '}':
    case 0x2018: case 0x2019: case 0x201C: case 0x201D: case 0x00AB: case 0x00BB: case 0x2026:
        return true;
    default: return false;
    }
}

// Characters that carry no meaning of their own inside a word: accents
// and joiners, spaces, brackets (which pause, like the sentence
// punctuation) and the box-drawing lines of tables.
bool is_silent(UChar32 c) {
    const int8_t type = u_charType(c);
    return type == U_NON_SPACING_MARK || type == U_SPACE_SEPARATOR || type == U_START_PUNCTUATION ||
           type == U_END_PUNCTUATION || (c >= 0xFE00 && c <= 0xFE0F) || c == 0x200D ||
           c == 0x00AD || (c >= 0x2500 && c <= 0x257F);
}

// The typographic apostrophes are the apostrophe.
bool is_apostrophe(UChar32 c) { return c == '\'' || c == 0x2019 || c == 0x2018 || c == 0x02BC; }

struct folder {
    std::unique_ptr<icu::Transliterator> latin;
    UConverter *cp1252 = nullptr;

    folder() {
        UErrorCode e = U_ZERO_ERROR;
        latin.reset(icu::Transliterator::createInstance("Any-Latin; Latin-ASCII; Lower",
                                                        UTRANS_FORWARD, e));
        cp1252 = ucnv_open("windows-1252", &e);
        if (U_FAILURE(e)) {
            fprintf(stderr, "real_text_loss: ICU: %s\n", u_errorName(e));
            exit(1);
        }
    }
    ~folder() { ucnv_close(cp1252); }

    // The engine's text, in the code page, as UTF-8.
    std::string from_code_page(const char *s) {
        UErrorCode e = U_ZERO_ERROR;
        icu::UnicodeString u(s, -1, cp1252, e);
        std::string out;
        u.toUTF8String(out);
        return out;
    }

    // Lower-case ASCII letters and digits of a UTF-8 text.
    std::string fold(const std::string &s) {
        icu::UnicodeString u = icu::UnicodeString::fromUTF8(s);
        latin->transliterate(u);
        std::string a, out;
        u.toUTF8String(a);
        for (char c : a) {
            if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) out += c;
        }
        return out;
    }
};

bool in_order(const std::string &want, const std::string &have) {
    size_t j = 0;
    for (char c : have) {
        if (j < want.size() && want[j] == c) ++j;
    }
    return j == want.size();
}

std::string prepared(const mode &m, const std::string &message) {
    char *p = nullptr;
    if (m.faithful) {
        faithful_settings s;
        s.punctuation = m.level;
        p = prepare_faithful(message.data(), message.size(), NRV_MSGTYPE_TEXT, &s);
    } else {
        p = prepare_text(message.data(), message.size(), NRV_MSGTYPE_TEXT);
    }
    std::string out = p ? p : "";
    free(p);
    return out;
}

bool is_decoration(const std::vector<UChar32> &cps) {
    if (cps.size() < 4 || u_isalnum(cps[0])) return false;
    return std::all_of(cps.begin(), cps.end(), [&](UChar32 c) { return c == cps[0]; });
}

size_t count_words(const std::string &folded_text) {
    size_t n = 0;
    bool in = false;
    for (char c : folded_text) {
        bool letter = c != ' ';
        if (letter && !in) ++n;
        in = letter;
    }
    return n;
}

struct tally {
    size_t words = 0;
    size_t lost = 0;
    size_t decoration_names = 0;
    std::map<std::string, size_t> lost_by_sign;
};

void measure_token(folder &f, const mode &m, const std::string &token, tally &t) {
    std::vector<UChar32> cps = code_points(token);
    if (is_decoration(cps)) {
        std::string out = f.from_code_page(prepared(m, escaped(token)).c_str());
        std::string letters;
        for (char c : out) letters += (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ? c : ' ';
        t.decoration_names += count_words(letters);
        return;
    }
    size_t from = 0, to = cps.size();
    while (from < to && is_edge(cps[from])) ++from;
    while (to > from && is_edge(cps[to - 1])) --to;
    std::string core = utf8_of(cps, from, to);
    std::string want = f.fold(core);
    if (want.empty()) return;
    ++t.words;
    std::string out = f.from_code_page(prepared(m, escaped(core)).c_str());
    std::string have = f.fold(out);
    bool lost = !in_order(want, have);
    std::string why = lost ? "letters or digits" : "";
    const bool named = have.size() > want.size();
    for (size_t i = from; i < to && !lost; ++i) {
        UChar32 c = cps[i];
        if (u_isalnum(c) || is_silent(c)) continue;
        std::string sign = is_apostrophe(c) ? "'" : utf8_of(cps, i, i + 1);
        if (!named && out.find(sign) == std::string::npos) {
            lost = true;
            why = sign;
        }
    }
    if (lost) {
        if (getenv("REAL_TEXT_LOSS_SHOW") != nullptr &&
            strcmp(getenv("REAL_TEXT_LOSS_SHOW"), m.name) == 0)
            printf("  lost (%s): %s -> %s\n", why.c_str(), core.c_str(), out.c_str());
        ++t.lost;
        ++t.lost_by_sign[why];
    }
}

}  // namespace

int main(int argc, char **argv) {
    const char *path = argc > 1 ? argv[1] : "build/real-text.txt";
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        fprintf(stderr, "real_text_loss: cannot read %s (scripts/real_text_corpus.sh makes it)\n",
                path);
        return 1;
    }
    std::stringstream buf;
    buf << in.rdbuf();
    std::vector<std::string> paras = paragraphs_of(buf.str());
    folder f;
    printf("%zu paragraphs from %s\n", paras.size(), path);
    printf("%-14s %8s %7s %9s %15s\n", "mode", "words", "lost", "per 1000", "decor. names");
    for (const mode &m : modes) {
        tally t;
        for (const std::string &p : paras) {
            for (const std::string &tok : tokens_of(p)) measure_token(f, m, tok, t);
        }
        printf("%-14s %8zu %7zu %9.1f %15zu\n", m.name, t.words, t.lost,
               t.words ? 1000.0 * static_cast<double>(t.lost) / static_cast<double>(t.words) : 0.0,
               t.decoration_names);
        std::vector<std::pair<size_t, std::string>> top;
        for (auto &[sign, n] : t.lost_by_sign) top.emplace_back(n, sign);
        std::sort(top.rbegin(), top.rend());
        printf("    most lost:");
        for (size_t i = 0; i < top.size() && i < 8; ++i)
            printf(" \"%s\" %zu", top[i].second.c_str(), top[i].first);
        printf("\n");
    }
    return 0;
}
