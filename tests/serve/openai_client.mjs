// Drives `tarvel serve` with the official OpenAI client library, as an application would:
//   node openai_client.mjs <tarvel command> <node_modules folder>
// Starts the server on a free port, completes, chats and streams both, checks what the client
// hands back, then stops the server with SIGTERM and expects it to exit 0.
import { spawn } from "node:child_process";
import { createRequire } from "node:module";
import assert from "node:assert/strict";
import path from "node:path";

const [command, modules] = process.argv.slice(2);
const require = createRequire(path.join(modules, "noop.js"));
const { default: OpenAI } = require("openai");

const server = spawn(command, ["serve", "--port", "0", "--store", "memory"], {
  stdio: ["ignore", "ignore", "pipe"],
});
const port = await new Promise((resolve, reject) => {
  let seen = "";
  server.stderr.on("data", (chunk) => {
    seen += chunk;
    const m = seen.match(/serving on http:\/\/127\.0\.0\.1:(\d+)/);
    if (m) resolve(Number(m[1]));
  });
  server.on("exit", (code) => reject(new Error(`server exited early (${code}): ${seen}`)));
});

const client = new OpenAI({ baseURL: `http://127.0.0.1:${port}/v1`, apiKey: "unused" });
try {
  const models = await client.models.list();
  assert.equal(models.data[0].id, "stories260K");

  const completion = await client.completions.create({
    model: "stories260K", prompt: "Once upon a time", max_tokens: 8, temperature: 0, logprobs: 2,
  });
  assert.equal(completion.object, "text_completion");
  assert.equal(typeof completion.choices[0].text, "string");
  assert.equal(completion.choices[0].logprobs.token_logprobs.length, 8);
  assert.equal(completion.usage.completion_tokens, 8);

  const chat = await client.chat.completions.create({
    model: "stories260K", messages: [{ role: "user", content: "Tell me a story" }], max_tokens: 6,
    seed: 7, logprobs: true, top_logprobs: 2,
  });
  assert.equal(chat.choices[0].message.role, "assistant");
  assert.equal(chat.choices[0].logprobs.content.length, chat.usage.completion_tokens);
  assert.equal(chat.choices[0].logprobs.content[0].top_logprobs.length, 2);

  // Streams give the same text as the whole answers, piece by piece.
  let streamed = "";
  const stream = await client.completions.create({
    model: "stories260K", prompt: "Once upon a time", max_tokens: 8, temperature: 0, stream: true,
  });
  for await (const part of stream) streamed += part.choices[0]?.text ?? "";
  assert.equal(streamed, completion.choices[0].text);

  let said = "";
  let finish = null;
  const chatStream = await client.chat.completions.create({
    model: "stories260K", messages: [{ role: "user", content: "Tell me a story" }], max_tokens: 6,
    seed: 7, stream: true,
  });
  for await (const part of chatStream) {
    said += part.choices[0]?.delta?.content ?? "";
    finish = part.choices[0]?.finish_reason ?? finish;
  }
  assert.equal(said, chat.choices[0].message.content);
  assert.equal(finish, chat.choices[0].finish_reason);

  // Errors reach the client as its own error types, with the server's status and message.
  await assert.rejects(
    client.completions.create({ model: "other", prompt: "x" }),
    (e) => e.status === 404 && e.message.includes("model 'other' does not exist"));
} finally {
  server.kill("SIGTERM");
}
const code = await new Promise((resolve) => server.on("exit", (c) => resolve(c)));
assert.equal(code, 0);
console.log("openai client: ok");
