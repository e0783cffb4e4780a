#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-2-Clause
"""The rules of scripts/gen_cldr_names.py that no regeneration shows
wrong by itself: what a name becomes in the code page, the listener's
money word, and which currency a sign stands for."""
import os
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.join(HERE, "..", "..", "scripts"))
import gen_cldr_names as gen  # noqa: E402  (found through the path above)


class EncodeName(unittest.TestCase):
    def test_rows(self):
        rows = [
            ("flag: Côte d\u2019Ivoire", b"flag: C\xf4te d'Ivoire"),      # a letter of the page, an apostrophe
            ("Japanese \u201cbargain\u201d button", b'Japanese "bargain" button'),
            ("Ōtsuki `x`", b"Otsuki 'x'"),                                 # no Ō in the page; no backquote
            ("a\u2192b  c\u0007", b"a b c"),                              # no letters left: a blank, runs of one
            ("\u0152uvre \u0161", b"\x8cuvre \x9a"),                       # the page's letters above 7F
        ]
        for name, want in rows:
            with self.subTest(name=name):
                self.assertEqual(gen.encode_name(name, "cp1252"), want)


class MoneyWords(unittest.TestCase):
    def test_country_dropped(self):
        rows = [("US dollars", "dollars"), ("Japanese yen", "yen"), ("euro", "euro"),
                ("Israeli new shekels", "new shekels"), ("Turkish Lira", "lira"),
                ("Costa Rican colón", "colón"), ("Dollar", "dollar")]
        for name, want in rows:
            with self.subTest(name=name):
                self.assertEqual(gen.listener_word_en(name), want)

    def test_currency_of_a_sign(self):
        lang = {"$": [("USD", None)]}
        root = {"$": [("AUD", "narrow"), ("USD", "narrow")], "€": [("EUR", None)],
                "₩": [("KPW", "narrow"), ("KRW", None), ("KRW", "narrow")],
                "₡": [("CRC", "narrow")], "₨": [("INR", "narrow"), ("PKR", "narrow")]}
        self.assertEqual(gen.currency_of("$", lang, root), "USD")  # the language's own symbol first
        self.assertEqual(gen.currency_of("€", lang, root), "EUR")  # then root's
        self.assertEqual(gen.currency_of("₩", lang, root), "KRW")
        self.assertEqual(gen.currency_of("₡", lang, root), "CRC")  # a narrow symbol of one currency
        self.assertIsNone(gen.currency_of("₨", lang, root))        # of two: CLDR does not say
        self.assertIsNone(gen.currency_of("¢", lang, root))


class DoubleBytePages(unittest.TestCase):
    def test_escaped_names(self):
        rows = [
            ("\u65d7: \u65e5\u672c", b"\x81\xe6\x97\x97: \x81\xe6\x97\xa5\x81\xe6\x9c\xac"),
            ("\u201cx\u201d `y`", b'"x" \'y\''),                   # ASCII look-alikes, no backquote
            ("\ud55c\u3000\u200b\uad6d", b"\x81\xed\x95\x9c \x81\xea\xb5\xad"),  # other blanks: one
            ("\U0001F600", b"\x81\xf0\x9f\x98\x80"),              # four bytes after the escape
        ]
        for name, want in rows:
            with self.subTest(name=name):
                self.assertEqual(gen.encode_for(name, "utf-8"), want)

    def test_c_string_keeps_the_character_after_its_escape(self):
        self.assertEqual(gen.c_string(b"\x81\xe6\x97\x97 a\xe9\x81"), '"\\201\u65d7 a\\351\\201"')


if __name__ == "__main__":
    sys.exit(0 if unittest.main(exit=False).result.wasSuccessful() else 1)
