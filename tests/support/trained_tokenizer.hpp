#pragma once

// A small SentencePiece model trained at test time by the SentencePiece trainer itself, with
// byte fallback, so that tokenizer tests need no committed binary and no Python.

#include <sentencepiece_trainer.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

namespace tarvel_test {

inline std::string trainedTokenizerModel(const std::filesystem::path& work_dir,
                                         int vocab_size = 300) {
    const std::filesystem::path corpus = work_dir / "corpus.txt";
    {
        std::ofstream out(corpus);
        const char* lines[] = {
            "Once upon a time there was a little cat who liked to sleep in the sun.",
            "The cat and the dog were friends, and they played in the garden every day.",
            "One day the little dog found a red ball under the big tree.",
            "They were happy and the sun was warm."};
        for (int i = 0; i < 50; ++i) {
            for (const char* line : lines) out << line << '\n';
        }
    }
    std::string model;
    const auto status = sentencepiece::SentencePieceTrainer::Train(
        "--input=" + corpus.string() +
            " --model_type=bpe --vocab_size=" + std::to_string(vocab_size) +
            " --byte_fallback=true --character_coverage=1.0 --num_threads=1 --minloglevel=2"
            " --bos_id=1 --eos_id=2 --unk_id=0 --pad_id=-1",
        nullptr, &model);
    if (!status.ok())
        throw std::runtime_error("cannot train the test tokenizer: " + status.ToString());
    return model;
}

}  // namespace tarvel_test
