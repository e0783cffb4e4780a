#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-2-Clause
"""Generates the spoken-name table of one language from Unicode CLDR.

    scripts/gen_cldr_names.py LANG [--cldr DIR] [--output FILE | --check FILE]

writes src/generated/cldr_names_LANG.inc (to stdout without --output):
every character or sequence with a "tts" annotation in
common/annotations/LANG.xml and common/annotationsDerived/LANG.xml, keys
without U+FE0F and sorted by code point for the longest-match search,
names in the language's 8-bit code page; and the money words (one and
other) of the currency signs whose currency CLDR names.

It is run by hand and its output is checked in: the module then builds
without python or the 90 MB of CLDR data, and a change of names that a
new CLDR brings shows in review as a change of that file. --check
regenerates and compares byte for byte (exit 1 when they differ, 77 when
the CLDR data is not installed), which the tests run.

One table per language: the next languages add a file each, with their
own code page and their own rule for the listener's money word.
"""
import argparse
import os
import sys
import unicodedata
import xml.etree.ElementTree as ET

DEFAULT_CLDR = "/usr/share/unicode/cldr"

# The engine's code page of each language the generator knows.
CODE_PAGES = {
    "en": "cp1252", "es": "cp1252", "fr": "cp1252", "de": "cp1252", "it": "cp1252",
    "pt": "cp1252", "fi": "cp1252", "nb": "cp1252", "sv": "cp1252", "da": "cp1252",
    "zh": "utf-8", "zh_Hant": "utf-8", "ja": "utf-8", "ko": "utf-8",
}

# The languages whose data CLDR keeps under another name: Norwegian
# Bokmal is in "no" (main/nb.xml is only an alias of it).
CLDR_FILE = {"nb": "no"}

# The byte before each character that only a double-byte code page
# holds, as the faithful pass writes it (src/quorlin_codepage.h): the
# last stage converts the character after it into the dialect's page.
PAGE_ESCAPE = 0x81

# The letters of Windows-1252 above 7F: the only bytes above 7F the
# engine may be given.
CP1252_HIGH_LETTERS = set(b"\x83\x8A\x8C\x8E\x9A\x9C\x9E\x9F\xAA\xB5\xBA") | {
    b for b in range(0xC0, 0x100) if b not in (0xD7, 0xF7)}

# Typographic marks of the names that become their ASCII look-alikes.
ASCII_LOOKALIKES = {"\u2018": "'", "\u2019": "'", "\u201C": '"', "\u201D": '"', "`": "'"}

VARIATION_SELECTORS = ("\uFE0E", "\uFE0F")


def encode_name(name, code_page):
    """The name in the code page: printable ASCII (a backquote becomes an
    apostrophe) and the code page's letters; a character the code page
    lacks becomes the letters of its compatibility decomposition, or a
    blank when it has none. Runs of blanks become one."""
    out = bytearray()
    for ch in name:
        ch = ASCII_LOOKALIKES.get(ch, ch)
        if " " <= ch < "\x7F":
            out += ch.encode("ascii")
            continue
        try:
            b = ch.encode(code_page)
        except UnicodeEncodeError:
            b = b""
        if len(b) == 1 and b[0] in CP1252_HIGH_LETTERS:
            out += b
            continue
        base = "".join(c for c in unicodedata.normalize("NFKD", ch)
                       if " " <= c < "\x7F" and c != "`")
        out += base.encode("ascii") if base else b" "
    return b" ".join(out.split())


def encode_name_escaped(name):
    """The name for a double-byte code page: printable ASCII as it is (a
    backquote becomes an apostrophe), every other character as
    PAGE_ESCAPE and its UTF-8, which the last stage writes in the page
    (or as a blank where the page lacks it); a control or format
    character, or a blank of another kind, becomes a blank. Runs of
    blanks become one."""
    out = bytearray()
    for ch in name:
        ch = ASCII_LOOKALIKES.get(ch, ch)
        if " " <= ch < "\x7F":
            out += ch.encode("ascii")
        elif unicodedata.category(ch)[0] in "CZ" or ch < " ":
            out += b" "
        else:
            out.append(PAGE_ESCAPE)
            out += ch.encode("utf-8")
    return b" ".join(out.split())


def encode_for(name, code_page):
    return encode_name_escaped(name) if code_page == "utf-8" else encode_name(name, code_page)


def read_tts(path):
    """The tts annotations of one file, keys without variation selectors."""
    names = {}
    for a in ET.parse(path).getroot().iter("annotation"):
        if a.get("type") == "tts" and a.text:
            key = "".join(c for c in a.get("cp") if c not in VARIATION_SELECTORS)
            names[key] = a.text.strip()
    return names


def currency_symbols(path):
    """Sign -> [(currency code, alt)] from one main file."""
    signs = {}
    for cur in ET.parse(path).getroot().iter("currency"):
        for s in cur.findall("symbol"):
            if s.text:
                signs.setdefault(s.text, []).append((cur.get("type"), s.get("alt")))
    return signs


def currency_names(path):
    """Code -> {count: display name} from one main file."""
    names = {}
    for cur in ET.parse(path).getroot().iter("currency"):
        counts = {d.get("count"): d.text for d in cur.findall("displayName") if d.get("count")}
        if counts:
            names[cur.get("type")] = counts
    return names


def currency_of(sign, lang_signs, root_signs):
    """The currency a sign stands for: the one whose own symbol it is in
    the language's file, then in root; else the only one whose narrow
    symbol it is in root. None when CLDR does not say."""
    for signs in (lang_signs, root_signs):
        own = [code for code, alt in signs.get(sign, []) if alt is None]
        if len(own) == 1:
            return own[0]
    narrow = {code for code, alt in root_signs.get(sign, []) if alt == "narrow"}
    return narrow.pop() if len(narrow) == 1 else None


def listener_word_en(name):
    """The word an English listener hears after the amount: CLDR's display
    name without the country it carries ("US dollars" -> "dollars",
    "Japanese yen" -> "yen"), which the sign alone does not say. The
    country words are the capitalised ones before the currency's own, which
    is a common noun ("Turkish Lira" -> "lira")."""
    words = name.split()
    while len(words) > 1 and words[0][:1].isupper():
        words.pop(0)
    return " ".join(words).lower()


def listener_word_as_is(name):
    """Other languages: CLDR's display name as it is. Their country words
    follow the currency's own ("dollar des \u00c9tats-Unis") or join it
    ("US-Dollar"), and no rule of capitals finds them, so the sign's
    currency is read whole rather than guessed at."""
    return name


LISTENER_WORD = {"en": listener_word_en}

# The plural rules of CLDR's supplemental/plurals.xml for "one" that the
# module can apply to an amount, by the rule's text (samples left out):
# exactly 1, or an integer part of 0 or 1 (French, Portuguese). Danish
# also takes "one" for 0.5 and 1.5; its table reads those as other, the
# nearest rule of the two. A language with no "one" rule never takes it.
ONE_RULES = {
    "i = 1 and v = 0": "exactly_one",
    "n = 1": "exactly_one",
    "n = 1 or t != 0 and i = 0,1": "exactly_one",
    "i = 0,1": "integer_0_or_1",
    "i = 0..1": "integer_0_or_1",
}


def one_rule(cldr, lang):
    """The amount rule of the language's "one" plural, from plurals.xml."""
    base = lang.split("_")[0]
    path = os.path.join(cldr, "common", "supplemental", "plurals.xml")
    for rules in ET.parse(path).getroot().iter("pluralRules"):
        if base not in rules.get("locales").split():
            continue
        for r in rules.findall("pluralRule"):
            if r.get("count") == "one":
                text = r.text.split("@")[0].strip()
                if text not in ONE_RULES:
                    raise SystemExit("no amount rule for %s's plural one: %r" % (lang, text))
                return ONE_RULES[text]
        return "never_one"
    raise SystemExit("no plural rules for %r" % lang)


def money_signs():
    """The currency signs whose money words are looked for: the Latin-1
    signs and the Currency Symbols block."""
    signs = ["$", "\u00A2", "\u00A3", "\u00A5"]
    signs += [chr(c) for c in range(0x20A0, 0x20D0) if unicodedata.category(chr(c)) == "Sc"]
    return signs


def cldr_version(cldr):
    with open(os.path.join(cldr, "common", "dtd", "ldml.dtd"), encoding="utf-8") as f:
        for line in f:
            if "cldrVersion" in line and "#FIXED" in line:
                return line.split('"')[1]
    raise SystemExit("no cldrVersion in ldml.dtd")


def c_string(b):
    """A C string literal of the bytes; octal escapes never run into a
    following digit the way hex escapes run into a following letter. A
    character after PAGE_ESCAPE is written as itself (the file is UTF-8),
    so that a review reads the name."""
    out = []
    i = 0
    while i < len(b):
        c = b[i]
        if c == PAGE_ESCAPE and i + 1 < len(b) and b[i + 1] >= 0xC2:
            n = 2 if b[i + 1] < 0xE0 else 3 if b[i + 1] < 0xF0 else 4
            out.append("\\%03o" % c + b[i + 1:i + 1 + n].decode("utf-8"))
            i += 1 + n
            continue
        if c in (0x22, 0x5C):
            out.append("\\" + chr(c))
        elif 0x20 <= c < 0x7F:
            out.append(chr(c))
        else:
            out.append("\\%03o" % c)
        i += 1
    return '"' + "".join(out) + '"'


def generate(lang, cldr):
    if lang not in CODE_PAGES:
        raise SystemExit("no code page known for language %r" % lang)
    code_page = CODE_PAGES[lang]
    common = os.path.join(cldr, "common")
    names_file = CLDR_FILE.get(lang, lang) + ".xml"
    names = read_tts(os.path.join(common, "annotations", names_file))
    derived = read_tts(os.path.join(common, "annotationsDerived", names_file))
    for key, name in derived.items():
        names.setdefault(key, name)
    keys = sorted(names, key=lambda k: [ord(c) for c in k])

    main = os.path.join(common, "main")
    lang_signs = currency_symbols(os.path.join(main, names_file))
    root_signs = currency_symbols(os.path.join(main, "root.xml"))
    display = currency_names(os.path.join(main, names_file))
    money = []
    for sign in money_signs():
        code = currency_of(sign, lang_signs, root_signs)
        counts = display.get(code, {}) if code else {}
        # A language without a singular (Chinese, Japanese, Korean) has
        # only the "other" name.
        if "other" in counts:
            word = LISTENER_WORD.get(lang, listener_word_as_is)
            one = counts.get("one", counts["other"])
            money.append((sign, code, encode_for(word(one), code_page),
                          encode_for(word(counts["other"]), code_page)))
    money.sort(key=lambda m: ord(m[0]))

    version = cldr_version(cldr)
    encoded = [encode_for(names[k], code_page) for k in keys]
    rule = one_rule(cldr, lang)
    longest = max(len(n) for n in encoded)
    out = []
    w = out.append
    w("// SPDX-License-Identifier: Unicode-DFS-2016")
    w("/*")
    w(" * The spoken names of language \"%s\", generated from Unicode CLDR %s" % (lang, version))
    w(" * (common/annotations and annotationsDerived, type \"tts\"; common/main")
    w(" * currency names) by scripts/gen_cldr_names.py %s. Do not edit: run the" % lang)
    w(" * generator again. Keys are code points without U+FE0F, sorted for the")
    if code_page == "utf-8":
        w(" * longest-match search; names are in UTF-8, each character above")
        w(" * ASCII after the byte 81 hex, for the dialect's double-byte page.")
    else:
        w(" * longest-match search; names are in the %s code page." % code_page)
    w(" * Data Copyright (c) 1991-2022 Unicode, Inc.; see packaging/copyright.")
    w(" */")
    w("")
    w("constexpr char cldr_%s_version[] = \"%s\";" % (lang, version))
    w("")
    w("// The longest name, in bytes.")
    w("constexpr size_t cldr_%s_longest_name = %d;" % (lang, longest))
    w("")
    w("// The code points of every key, in key order.")
    w("constexpr char32_t cldr_%s_points[] = {" % lang)
    offsets = []
    at = 0
    for k in keys:
        offsets.append(at)
        at += len(k)
        w("    %s," % ", ".join("0x%X" % ord(c) for c in k))
    w("};")
    w("")
    w("// Each key (offset and count in cldr_%s_points) with its name." % lang)
    w("constexpr cldr_name cldr_%s_names[] = {" % lang)
    for k, off, name in zip(keys, offsets, encoded):
        w("    {%d, %d, %d, %s}," % (off, len(k), len(name), c_string(name)))
    w("};")
    w("")
    w("// The money words of each currency sign CLDR names a currency for.")
    w("constexpr cldr_money cldr_%s_money[] = {" % lang)
    for sign, code, one, other in money:
        w("    {0x%X, %s, %s},  // %s" % (ord(sign), c_string(one), c_string(other), code))
    w("};")
    w("")
    w("constexpr name_table cldr_%s = {" % lang)
    w("    \"%s\", cldr_%s_version, cldr_%s_points, cldr_%s_names, std::size(cldr_%s_names)," %
      (lang, lang, lang, lang, lang))
    w("    cldr_%s_money, std::size(cldr_%s_money), %s, one_rule::%s," %
      (lang, lang, "true" if code_page == "utf-8" else "false", rule))
    w("};")
    return ("\n".join(out) + "\n").encode("utf-8")


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("lang")
    p.add_argument("--cldr", default=DEFAULT_CLDR, help="the CLDR folder (holds common/)")
    g = p.add_mutually_exclusive_group()
    g.add_argument("--output", help="write the table here")
    g.add_argument("--check", help="compare with this file instead")
    a = p.parse_args()
    names_file = CLDR_FILE.get(a.lang, a.lang) + ".xml"
    if not os.path.isfile(os.path.join(a.cldr, "common", "annotations", names_file)):
        print("no CLDR annotations for %r under %s" % (a.lang, a.cldr), file=sys.stderr)
        return 77 if a.check else 1
    table = generate(a.lang, a.cldr)
    if a.check:
        with open(a.check, "rb") as f:
            if f.read() != table:
                print("%s differs from what CLDR %s gives; run %s %s --output %s" %
                      (a.check, cldr_version(a.cldr), sys.argv[0], a.lang, a.check),
                      file=sys.stderr)
                return 1
        return 0
    if a.output:
        with open(a.output, "wb") as f:
            f.write(table)
    else:
        sys.stdout.buffer.write(table)
    return 0


if __name__ == "__main__":
    sys.exit(main())
