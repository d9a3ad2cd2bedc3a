#!/usr/bin/env python3
"""Writes the small tokenizer.json files of the tokenizer tests (tests/tokenizer/fixtures/).

    python3 tools/write_tokenizer_fixtures.py

Each file is a tiny but complete tokenizer of one style; the tests change single fields of them
to reach every step and option. Run again after changing this script and commit the output.
"""
import json
import os

OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "tokenizer", "fixtures")


def byte_level_chars():
    """GPT-2's byte-to-character table, as byte-level tokenizers spell bytes."""
    printable = list(range(33, 127)) + list(range(161, 173)) + list(range(174, 256))
    table, extra = {}, 256
    for b in range(256):
        if b in printable:
            table[b] = chr(b)
        else:
            table[b] = chr(extra)
            extra += 1
    return table


def added(id_, content, special=True, normalized=False, lstrip=False, rstrip=False, single_word=False):
    return {"id": id_, "content": content, "single_word": single_word, "lstrip": lstrip,
            "rstrip": rstrip, "normalized": normalized, "special": special}


def template(prefix, suffix):
    single = [{"SpecialToken": {"id": t, "type_id": 0}} for t in prefix]
    single.append({"Sequence": {"id": "A", "type_id": 0}})
    single += [{"SpecialToken": {"id": t, "type_id": 0}} for t in suffix]
    return single


def sentencepiece_bpe():
    """SentencePiece-style BPE as Llama 2 and Gemma files have it: spaces become ▁ in the
    normalizer, no pre-tokenizer, byte fallback, <s> in front, a decoder chain that undoes it."""
    vocab = {"<unk>": 0, "<s>": 1, "</s>": 2}
    for b in range(256):
        vocab["<0x%02X>" % b] = len(vocab)
    for c in "▁abcdefghijklmnopqrstuvwxyz":
        vocab[c] = len(vocab)
    merges = [("h", "e"), ("l", "l"), ("he", "ll"), ("hell", "o"), ("▁", "hello"), ("▁", "w"),
              ("o", "r"), ("▁w", "or"), ("l", "d"), ("▁wor", "ld"), ("a", "a")]
    for a, b in merges:
        vocab.setdefault(a + b, len(vocab))
    return {
        "version": "1.0",
        "truncation": None,
        "padding": None,
        "added_tokens": [added(0, "<unk>"), added(1, "<s>"), added(2, "</s>")],
        "normalizer": {"type": "Sequence", "normalizers": [
            {"type": "Prepend", "prepend": "▁"},
            {"type": "Replace", "pattern": {"String": " "}, "content": "▁"}]},
        "pre_tokenizer": None,
        "post_processor": {
            "type": "TemplateProcessing",
            "single": template(["<s>"], []),
            "pair": template(["<s>"], []) + [{"Sequence": {"id": "B", "type_id": 1}}],
            "special_tokens": {"<s>": {"id": "<s>", "ids": [1], "tokens": ["<s>"]},
                               "</s>": {"id": "</s>", "ids": [2], "tokens": ["</s>"]}}},
        "decoder": {"type": "Sequence", "decoders": [
            {"type": "Replace", "pattern": {"String": "▁"}, "content": " "},
            {"type": "ByteFallback"},
            {"type": "Fuse"},
            {"type": "Strip", "content": " ", "start": 1, "stop": 0}]},
        "model": {"type": "BPE", "dropout": None, "unk_token": "<unk>",
                  "continuing_subword_prefix": None, "end_of_word_suffix": None, "fuse_unk": True,
                  "byte_fallback": True, "ignore_merges": False, "vocab": vocab,
                  "merges": ["%s %s" % m for m in merges]},
    }


def byte_level_bpe():
    """Byte-level BPE as Llama 3 and Qwen files have it: a Split with the file's own expression,
    then ByteLevel without one, merges in the list form, special tokens around the text."""
    chars = byte_level_chars()
    vocab = {chars[b]: b for b in range(256)}
    merges = [("h", "e"), ("l", "l"), ("he", "ll"), ("hell", "o"), ("Ġ", "w"), ("o", "r"),
              ("Ġw", "or"), ("l", "d"), ("Ġwor", "ld"), ("Ġ", "Ġ"), ("Ċ", "Ċ"), ("1", "2"),
              ("12", "3")]
    for a, b in merges:
        vocab.setdefault(a + b, len(vocab))
    vocab["Ġhello"] = len(vocab)  # reached only whole, when merges are ignored
    regex = ("(?i:'s|'t|'re|'ve|'m|'ll|'d)|[^\\r\\n\\p{L}\\p{N}]?\\p{L}+|\\p{N}{1,3}|"
             " ?[^\\s\\p{L}\\p{N}]+[\\r\\n]*|\\s*[\\r\\n]+|\\s+(?!\\S)|\\s+")
    return {
        "version": "1.0",
        "truncation": None,
        "padding": None,
        "added_tokens": [added(300, "<|begin|>"), added(301, "<|end|>"),
                         added(302, "<tool>", special=False)],
        "normalizer": {"type": "NFC"},
        "pre_tokenizer": {"type": "Sequence", "pretokenizers": [
            {"type": "Split", "pattern": {"Regex": regex}, "behavior": "Isolated", "invert": False},
            {"type": "ByteLevel", "add_prefix_space": False, "trim_offsets": True,
             "use_regex": False}]},
        "post_processor": {"type": "Sequence", "processors": [
            {"type": "ByteLevel", "add_prefix_space": True, "trim_offsets": False, "use_regex": True},
            {"type": "TemplateProcessing",
             "single": template(["<|begin|>"], ["<|end|>"]),
             "pair": template(["<|begin|>"], ["<|end|>"]),
             "special_tokens": {
                 "<|begin|>": {"id": "<|begin|>", "ids": [300], "tokens": ["<|begin|>"]},
                 "<|end|>": {"id": "<|end|>", "ids": [301], "tokens": ["<|end|>"]}}}]},
        "decoder": {"type": "ByteLevel", "add_prefix_space": True, "trim_offsets": True,
                    "use_regex": True},
        "model": {"type": "BPE", "dropout": None, "unk_token": None,
                  "continuing_subword_prefix": "", "end_of_word_suffix": "", "fuse_unk": False,
                  "byte_fallback": False, "ignore_merges": False, "vocab": vocab,
                  "merges": [list(m) for m in merges]},
    }


# Every piece that the pipeline tests expect, so that each piece comes out as one token.
PIECES = [
    "a-", "b-", "-b", "-c", "--", "ab", "123", "12", "c4", "IT", "'S", "ok", "  ", "hi", "there",
    "▁hi", "▁there", "▁hi▁there", "▁", "hello", "héllo", "fi", "i̇", "a_b", "▁x", "x", "<sep>",
    "Ġhi", "Ġthere", "hiĠthere", "Ġ", "ĠĠ", "Ġ!", "!", "hi!", "yes", "YES", "say", "ay", "sa",
    " ", "<m>", "ab<m>", "é", "ś", "Ö", "ö",
]


def pieces():
    """A model without merges that ignores merges, with a token for every piece the tests
    expect: the ids show exactly where the normalizers and pre-tokenizers cut the text."""
    vocab = {}
    for c in [chr(c) for c in range(32, 127)] + list("▁ĠéśÖö") + ["\u0307", "\u0301"]:
        vocab.setdefault(c, len(vocab))
    for p in PIECES:
        vocab.setdefault(p, len(vocab))
    return {
        "version": "1.0",
        "truncation": None,
        "padding": None,
        "added_tokens": [],
        "normalizer": None,
        "pre_tokenizer": None,
        "post_processor": None,
        "decoder": None,
        "model": {"type": "BPE", "dropout": None, "unk_token": None,
                  "continuing_subword_prefix": None, "end_of_word_suffix": None,
                  "fuse_unk": False, "byte_fallback": False, "ignore_merges": True,
                  "vocab": vocab, "merges": []},
    }


def main():
    os.makedirs(OUT, exist_ok=True)
    for name, make in [("sentencepiece_bpe", sentencepiece_bpe), ("byte_level_bpe", byte_level_bpe),
                       ("pieces", pieces)]:
        with open(os.path.join(OUT, name + ".json"), "w", encoding="utf-8") as out:
            json.dump(make(), out, ensure_ascii=False, indent=1)
            out.write("\n")


if __name__ == "__main__":
    main()
