// The hard strings every family is compared on. An entry is a string, or an array of byte
// values for text that is not UTF-8.
//
// Left out on purpose: U+0085 (NEL) next to spaces. The files' regular expressions were written
// for an engine (Oniguruma, as Hugging Face's tokenizers runs them) whose \s includes it, as
// PCRE2's does; JavaScript's \s does not, so the reference splits such text differently.

const strings = [
  // Plain text, punctuation and contractions (the expressions match 's 't 're case-blind).
  "", "a", "A", "Hello", "Hello world", "Hello, world!", "The quick brown fox jumps over the lazy dog.",
  "don't", "DON'T", "I'm", "I'M", "we'll", "WE'LL", "they've", "she'd", "it's", "IT'S", "y'all",
  "rock'n'roll", "'s", "''", "'quoted'", "\"double\"", "«guillemets»", "„Anführungszeichen“",
  "e.g. i.e. etc.", "Mr. Smith's car", "O'Neil", "...", "?!?!", "--", "—em dash—", "a-b_c",
  // Whitespace of every kind and length.
  " ", "  ", "   ", "    ", "        ", " a", "  a", "a ", "a  ", " a ", "a  b", "a   b", "a    b",
  "\t", "\t\t", "a\tb", "\ta", "a\t", " \t ", "\t \t", "\v", "\f", "a\fb",
  "\u00a0", "a\u00a0b", "\u3000", "a\u3000b", "\u2009", "a\u2009b", "\u200b", "a\u200bb",
  "a \ufeff b", "\ufeff", "x\u180ey", "\u2028", "a\u2028b", "\u2029", "\u1680", "\u202f", "\u205f", "\u2002\u2003",
  " ".repeat(17), "\t".repeat(9), "x" + " ".repeat(33) + "y",
  // Newlines.
  "\n", "\n\n", "\n\n\n", "\n\n\n\n\n\n", "\r", "\r\n", "\r\n\r\n", "a\nb", "a\n\nb", "a\n\n\nb",
  "a\r\nb", "a \nb", "a\n b", "a \n b", " \n", "\n ", "a\n", "\na", "line one\nline two\nline three",
  "  \n  \n", "\n\t\n", "end.\n\n", "\n\n\nstart",
  // CJK and other scripts.
  "你好", "你好，世界！", "我爱北京天安门", "中文和English混合", "日本語のテキスト", "ひらがな", "カタカナ",
  "東京タワーは高い。", "한국어", "안녕하세요 세계", "漢字かなカナ", "ｆｕｌｌｗｉｄｔｈ", "１２３４", "（括弧）",
  "「引用」", "Привет, мир!", "Ελληνικά", "שלום עולם", "مرحبا بالعالم", "नमस्ते दुनिया",
  "สวัสดีชาวโลก", "Tiếng Việt có dấu", "ქართული", "Հայերեն", "ᚠᛇᚻ",
  // Emoji, joiners, modifiers and flags.
  "😀", "😀😀😀", "👍🏽", "👨‍👩‍👧‍👦", "🏳️‍🌈", "🇫🇷🇯🇵", "1️⃣", "❤️", "☺︎", "🧑🏿‍🚀", "a😀b", " 😀 ",
  "emoji at end 🎉", "🎉 at start", "👩‍💻 coding", "🐈‍⬛", "©®™", "✓✔✗", "→⇒⟶", "∑∫√∞≠≤",
  // Combining marks and normalization.
  "e\u0301", "\u00e9", "cafe\u0301", "caf\u00e9", "A\u030a", "\u212b", "n\u0303", "Z\u0337\u0322a\u0336l\u0338g\u0335o",
  "\u0915\u094d\u0937", "\u05e9\u05c1\u05b8\u05dc\u05d5\u05b9\u05dd", "\u1e9b\u0323", "\ufb01", "\u2460",
  "\u00bd", "x\u00b2", "\u2167", "\u0130stanbul", "\u03a3\u039f\u03a6\u039f\u03a3", "\u00df", "\uff21",
  "\u0301", "  \u0301", "a\u0301\u0301\u0301",
  // Digits and numbers.
  "0", "7", "12", "123", "1234", "12345", "1234567890", "3.14159", "1,000,000", "-42", "+1",
  "2024-01-31", "12:30:45", "v1.2.3", "0x1F", "1e-9", "50%", "$100", "€5", "٣٤٥", "१२३", "Ⅻ",
  "a1b2c3", "abc123def", "123abc", "1 2 3", "1  2", "000", "9".repeat(20),
  // Code.
  "def f(x):\n    return x + 1\n", "for (int i = 0; i < n; ++i) {\n\tsum += a[i];\n}",
  "#include <stdio.h>\nint main(void) { return 0; }", "if x == 1:\n        pass\n    else:\n\tpass",
  "const f = (a, b) => a ?? b;", "{\"key\": [1, 2, {\"nested\": null}]}", "<div class=\"x\">text</div>",
  "SELECT * FROM t WHERE id = 'x';", "https://example.com/path?q=1&r=2#frag", "user@example.com",
  "/usr/local/bin", "C:\\Windows\\System32", "a_b_c", "camelCaseIdentifier", "snake_case_id",
  "x += y ** 2", "/^\\s+|\\s+$/g", "$ ls -la | grep foo", "    indented", "\t\tdouble tab",
  "```python\nprint('hi')\n```", "// comment\n/* block */", "a != b && c || !d", "<<>>", "[[]]",
  // Literal text that looks like tokenizer internals.
  "\u2581", "\u2581\u2581", "a\u2581b", "\u0120", "\u0120a", "\u010a", "<0x41>", "<0x0A>", "<unk>",
  "\u2581hello \u2581world",
  // Special-token text of the families, whole, partial and run together.
  "<s>", "</s>", "<s>Hello</s>", "Hello</s>", "<s> <s>", "<bos>", "<eos>", "<bos>Hello<eos>",
  "<pad>", "<mask>", "<start_of_turn>user\nHi<end_of_turn>\n<start_of_turn>model\n",
  "<|begin_of_text|>", "<|end_of_text|>", "<|begin_of_text|>Hello", "<|start_header_id|>user<|end_header_id|>\n\nHi<|eot_id|>",
  "<|eot_id|><|eot_id|>", "<|reserved_special_token_5|>",
  "<|im_start|>", "<|im_end|>", "<|im_start|>system\nYou are helpful.<|im_end|>\n<|im_start|>user\nHi<|im_end|>\n<|im_start|>assistant\n",
  "<|endoftext|>", "<think>\nreasoning\n</think>\n\nanswer", "<tool_call>{}</tool_call>",
  "<|im_st", "<|im_start", "< |im_start|>", "<|IM_START|>", "x<|im_end|>y", " <|im_end|> ",
  "<｜begin▁of▁sentence｜>", "<｜User｜>Hi<｜Assistant｜>", "<｜end▁of▁sentence｜>",
  "<unused0>", "[multimodal]", "<start_of_image>",
  // Long runs.
  "a".repeat(300), "ab".repeat(150), "Hello ".repeat(40), "-".repeat(64), "=".repeat(100),
  "\n".repeat(40), " \n".repeat(20), "😀".repeat(30), "你".repeat(50),
  "Supercalifragilisticexpialidocious", "antidisestablishmentarianism", "pneumonoultramicroscopicsilicovolcanoconiosis",
  // Long texts: where nothing splits a text into words (SentencePiece-style files), the model
  // merges a whole paragraph at once.
  "It was the best of times, it was the worst of times, it was the age of wisdom, it was the age " +
    "of foolishness, it was the epoch of belief, it was the epoch of incredulity, it was the season " +
    "of Light, it was the season of Darkness, it was the spring of hope, it was the winter of " +
    "despair. In 1775, there were 2 kings & 2 queens; \"we had everything before us\" (or nothing).",
  "import os\n\n\nclass Reader:\n    \"\"\"Reads   things.\"\"\"\n\n    def __init__(self, path: str) -> None:\n" +
    "        self.path = path  # where\n        self._cache = {}\n\n    def read(self):\n" +
    "        with open(self.path, \"rb\") as f:\n            return f.read()[:1024]\n",
  "東京は日本の首都です。Tokyo is the capital of Japan, with about 14 million people (2023)。" +
    "北京是中国的首都。서울은 한국의 수도입니다. Das ist 100% richtig – oder? ¿Qué tal? Ça va très bien!",
  "word ".repeat(120) + "end",
];

// Text that is not UTF-8, as bytes: it reads as U+FFFD.
const bytes = [
  [0xff], [0xfe], [0x80], [0xbf], [0xc3], [0xe2, 0x82], [0xf0, 0x9f, 0x98], [0xc0, 0xaf],
  [0xe0, 0x80, 0xaf], [0xed, 0xa0, 0x80], [0xf4, 0x90, 0x80, 0x80], [0xf8, 0x88, 0x80, 0x80, 0x80],
  [0x61, 0xff, 0x62], [0x61, 0x80, 0x80, 0x62], [0xe2, 0x82, 0x61], [0x20, 0xff, 0x20],
  [0xef, 0xbb, 0xbf, 0x61], [0xef, 0xbb, 0xbf], [0x48, 0x69, 0xf0, 0x9f],
  [0xc3, 0xa9, 0xc3], [0x0a, 0xff, 0x0a], [0x3c, 0x73, 0x3e, 0xff],
];

// Mixtures of all of the above, the same every run.
const palette = [
  "the", "The", " of", "and", "don't", "I'M", "  ", "   ", "\t", "\n", "\n\n", "\r\n", "你好", "日本",
  "한국", "😀", "👨‍👩‍👧", "🇫🇷", "e\u0301", "\u00e9", "123", "4567", "3.5", "x", "=", "(", ")", "{",
  "}", ";", "'s", "'", "\"", "\u00a0", "\u3000", "<s>", "</s>", "<|im_start|>", "<|im_end|>",
  "<|eot_id|>", "<bos>", "<start_of_turn>", "\u2581", "Ġ", "café", "naïve", "Ω", "ß", "İ",
  "//", "->", "::", "...", "$", "%", "#", "@", "_", "-", "α", "β", "١٢", "½",
];
let state = 20240531;
function next() {
  state = (Math.imul(state, 1103515245) + 12345) >>> 0;
  return state >>> 8;
}
const mixtures = [];
for (let i = 0; i < 120; ++i) {
  let s = "";
  const n = 2 + (next() % 14);
  for (let k = 0; k < n; ++k) s += palette[next() % palette.length];
  mixtures.push(s);
}

export const corpus = [
  ...strings.map((s) => Buffer.from(s, "utf8")),
  ...bytes.map((b) => Buffer.from(b)),
  ...mixtures.map((s) => Buffer.from(s, "utf8")),
];
