// The Python module `tarvel._tarvel`: models, sessions, snapshots, the full pass, the tokenizer
// and generation, over the public C++ API only. The runtime computes with the GIL released;
// logits reach numpy in the runtime's own buffer.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "tarvel/checkpoint/load_checkpoint.hpp"
#include "tarvel/generate/generate.hpp"
#include "tarvel/reference/compare.hpp"
#include "tarvel/reference/perplexity.hpp"
#include "tarvel/reference/score.hpp"
#include "tarvel/tarvel.hpp"
#include "tarvel/tokenizer/tokenizer.hpp"

namespace py = pybind11;
using namespace Nuvexis::Core::Tarvel;

namespace {

namespace fs = std::filesystem;

// ---- errors ---------------------------------------------------------------------------------

struct ErrorClasses {
    py::object kv_error;
    py::object kv_by_kind[4];  // indexed by TransformerKvErrorKind
    py::object artifact_error;
};

ErrorClasses& errorClasses() {
    // Created once at import and kept for the life of the interpreter.
    static ErrorClasses* classes = new ErrorClasses();
    return *classes;
}

const char* kvKindName(TransformerKvErrorKind kind) {
    switch (kind) {
        case TransformerKvErrorKind::invalid_input:
            return "invalid_input";
        case TransformerKvErrorKind::invalid_state:
            return "invalid_state";
        case TransformerKvErrorKind::context_exceeded:
            return "context_exceeded";
        case TransformerKvErrorKind::resource_limit:
            return "resource_limit";
    }
    return "unknown";
}

const char* artifactKindName(ArtifactErrorKind kind) {
    switch (kind) {
        case ArtifactErrorKind::corrupt_bytes:
            return "corrupt_bytes";
        case ArtifactErrorKind::limit_exceeded:
            return "limit_exceeded";
        case ArtifactErrorKind::model_mismatch:
            return "model_mismatch";
        case ArtifactErrorKind::unsupported_version:
            return "unsupported_version";
    }
    return "unknown";
}

py::object newErrorClass(py::module_& module, const char* name, py::tuple bases, const char* doc) {
    const std::string qualified = std::string("tarvel.") + name;
    py::dict namespace_;
    namespace_["__doc__"] = doc;
    PyObject* created = PyErr_NewException(qualified.c_str(), bases.ptr(), namespace_.ptr());
    if (created == nullptr) throw py::error_already_set();
    py::object cls = py::reinterpret_steal<py::object>(created);
    module.attr(name) = cls;
    return cls;
}

void raiseWithKind(const py::object& cls, const char* message, const char* kind) {
    py::object error = cls(message);
    error.attr("kind") = kind;
    PyErr_SetObject(cls.ptr(), error.ptr());
}

void registerErrors(py::module_& m) {
    ErrorClasses& c = errorClasses();
    c.kv_error = newErrorClass(m, "KvError", py::make_tuple(py::handle(PyExc_Exception)),
                               "A refused session step; .kind names why.");
    const py::handle value_error(PyExc_ValueError);
    const py::handle memory_error(PyExc_MemoryError);
    c.kv_by_kind[0] = newErrorClass(m, "KvInputError", py::make_tuple(c.kv_error, value_error),
                                    "The tokens are malformed or name an unknown token.");
    c.kv_by_kind[1] = newErrorClass(m, "KvStateError", py::make_tuple(c.kv_error, value_error),
                                    "The session is inconsistent; reset or restore it.");
    c.kv_by_kind[2] = newErrorClass(m, "KvContextError", py::make_tuple(c.kv_error, value_error),
                                    "The step would pass the model's context.");
    c.kv_by_kind[3] = newErrorClass(m, "KvResourceError", py::make_tuple(c.kv_error, memory_error),
                                    "A byte limit, size overflow or allocation failure.");
    c.artifact_error = newErrorClass(m, "ArtifactError", py::make_tuple(value_error),
                                     "Refused snapshot or artifact bytes; .kind names why.");

    // Everything else keeps pybind11's mapping: std::invalid_argument and std::domain_error
    // to ValueError, std::out_of_range to IndexError, std::overflow_error to OverflowError,
    // std::bad_alloc to MemoryError.
    py::register_exception_translator([](std::exception_ptr thrown) {
        try {
            if (thrown) std::rethrow_exception(thrown);
        } catch (const TransformerKvError& e) {
            const ErrorClasses& classes = errorClasses();
            const auto index = static_cast<std::size_t>(e.kind());
            const py::object& cls = index < 4 ? classes.kv_by_kind[index] : classes.kv_error;
            raiseWithKind(cls, e.what(), kvKindName(e.kind()));
        } catch (const ArtifactError& e) {
            raiseWithKind(errorClasses().artifact_error, e.what(), artifactKindName(e.kind()));
        }
    });
}

// A session or generator is used by one thread at a time. The runtime computes with the GIL
// released, so a second thread could otherwise reach the same object mid-step; it is refused
// instead. The flag is only touched with the GIL held.
class UseGuard {
  public:
    explicit UseGuard(bool& busy) : busy_(busy) {
        if (busy_) throw std::runtime_error("object is in use by another thread");
        busy_ = true;
    }
    ~UseGuard() { busy_ = false; }
    UseGuard(const UseGuard&) = delete;
    UseGuard& operator=(const UseGuard&) = delete;

  private:
    bool& busy_;
};

// ---- arrays -----------------------------------------------------------------------------------

// Hands the tensor's storage to numpy: the array's base object owns the vector, nothing is
// copied.
py::array_t<double> toArray(Tensor&& tensor, std::vector<py::ssize_t> shape) {
    auto storage = std::make_unique<std::vector<double>>(std::move(tensor.data));
    double* data = storage->data();
    py::capsule owner(storage.get(), [](void* p) { delete static_cast<std::vector<double>*>(p); });
    storage.release();
    return py::array_t<double>(std::move(shape), data, owner);
}

bool parsePrecision(const std::string& precision) {
    if (precision == "double") return true;
    if (precision == "float32") return false;
    throw std::invalid_argument("precision must be \"double\" or \"float32\"");
}

// Token ids as Python holds them: an int, a sequence of ints, or a 1-D integer numpy array (or
// numpy integer scalars). Floats, bools, strings and arrays of another kind or rank are refused
// rather than truncated or flattened.
std::vector<std::uint32_t> tokenIds(const py::handle& value) {
    static const char* const expected =
        "tokens must be an integer, a sequence of integers or a 1-D integer array";
    const py::module_ numpy = py::module_::import("numpy");
    const auto isInteger = [&](const py::handle& item) {
        if (PyBool_Check(item.ptr())) return false;
        return PyLong_Check(item.ptr()) || py::isinstance(item, numpy.attr("integer"));
    };
    const auto id = [&](const py::handle& item) -> std::uint32_t {
        if (!isInteger(item)) throw py::type_error(expected);
        const py::int_ number = py::reinterpret_steal<py::int_>(PyNumber_Index(item.ptr()));
        if (!number) throw py::error_already_set();
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(number.ptr(), &overflow);
        if (overflow != 0 || v < 0 || v > std::numeric_limits<std::uint32_t>::max())
            throw py::type_error("token ids must be integers from 0 to 4294967295");
        return static_cast<std::uint32_t>(v);
    };
    std::vector<std::uint32_t> ids;
    if (py::isinstance<py::array>(value)) {
        const auto array = py::reinterpret_borrow<py::array>(value);
        const char kind = array.dtype().kind();
        if ((kind != 'i' && kind != 'u') || array.ndim() > 1) throw py::type_error(expected);
        if (array.ndim() == 0) return {id(array.attr("item")())};
        for (const py::handle item : py::list(array.attr("tolist")())) ids.push_back(id(item));
        return ids;
    }
    if (isInteger(value)) return {id(value)};
    if (!PySequence_Check(value.ptr()) || PyUnicode_Check(value.ptr()) ||
        PyBytes_Check(value.ptr()) || PyByteArray_Check(value.ptr())) {
        throw py::type_error(expected);
    }
    for (const py::object item : py::reinterpret_borrow<py::sequence>(value)) {
        ids.push_back(id(item));
    }
    return ids;
}

py::str utf8(const std::string& text) {
    // Byte pieces may decode to bytes that are not UTF-8 on their own.
    PyObject* s =
        PyUnicode_DecodeUTF8(text.data(), static_cast<py::ssize_t>(text.size()), "replace");
    if (s == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(s);
}

// ---- model ------------------------------------------------------------------------------------

fs::path bundledModel() {
    for (const fs::path& candidate : {fs::path(TARVEL_INSTALLED_MODELS_DIR) / TARVEL_DEFAULT_MODEL,
                                      fs::path(TARVEL_SOURCE_MODELS_DIR) / TARVEL_DEFAULT_MODEL}) {
        if (const auto model = bundledModelPath(candidate)) return *model;
    }
    throw std::invalid_argument("the bundled model " + std::string(TARVEL_DEFAULT_MODEL) +
                                " is not found; give a checkpoint folder or GGUF file");
}

struct PyTokenizer {
    std::shared_ptr<const Tokenizer> tokenizer;
};

struct PyModel {
    std::shared_ptr<const TransformerModel> model;
    std::shared_ptr<const Tokenizer> tokenizer;  // null when the folder has none
    std::string folder;

    const Tokenizer& requireTokenizer() const {
        if (!tokenizer) {
            throw std::invalid_argument(folder +
                                        ": no tokenizer.json or tokenizer.model, so text " +
                                        "cannot be converted; use token ids instead");
        }
        return *tokenizer;
    }
};

// ---- scoring and comparison ---------------------------------------------------------------

py::array_t<double> vectorArray(std::vector<double> values) {
    Tensor holder;
    holder.data = std::move(values);
    const auto n = static_cast<py::ssize_t>(holder.data.size());
    return toArray(std::move(holder), {n});
}

py::dict scoreModel(const PyModel& self, const py::object& token_ids, std::uint64_t top,
                    const std::string& precision, std::uint32_t threads) {
    const std::vector<std::uint32_t> tokens = tokenIds(token_ids);
    ScoreOptions options;
    options.double_precision = parsePrecision(precision);
    options.threads = threads;
    options.top = top;
    ScoreResult result;
    {
        py::gil_scoped_release release;
        result = scoreTokens(self.model, tokens, options);
    }
    const auto n = static_cast<py::ssize_t>(result.tokens.size());
    const std::size_t k = result.tokens.empty() ? 0 : result.tokens[0].top.size();
    std::vector<double> logprobs;
    py::array_t<std::uint32_t> top_tokens({n, static_cast<py::ssize_t>(k)});
    py::array_t<double> top_logprobs({n, static_cast<py::ssize_t>(k)});
    auto ids = top_tokens.mutable_unchecked<2>();
    auto values = top_logprobs.mutable_unchecked<2>();
    for (py::ssize_t j = 0; j < n; ++j) {
        const TokenLogProbs& entry = result.tokens[static_cast<std::size_t>(j)];
        logprobs.push_back(entry.logprob);
        for (std::size_t i = 0; i < k; ++i) {
            ids(j, static_cast<py::ssize_t>(i)) = entry.top[i].token;
            values(j, static_cast<py::ssize_t>(i)) = entry.top[i].logprob;
        }
    }
    const auto rows = static_cast<py::ssize_t>(result.logits.shape[0]);
    const auto vocabulary = static_cast<py::ssize_t>(result.logits.shape[1]);
    py::dict out;
    out["logits"] = toArray(std::move(result.logits), {rows, vocabulary});
    out["logprobs"] = vectorArray(std::move(logprobs));
    out["top_tokens"] = top_tokens;
    out["top_logprobs"] = top_logprobs;
    return out;
}

py::dict perplexityModel(const PyModel& self, const py::object& token_ids, std::uint64_t context,
                         std::uint64_t stride, const std::string& precision,
                         std::uint32_t threads) {
    const std::vector<std::uint32_t> tokens = tokenIds(token_ids);
    PerplexityOptions options;
    options.context = context;
    options.stride = stride;
    options.double_precision = parsePrecision(precision);
    options.threads = threads;
    PerplexityResult result;
    {
        py::gil_scoped_release release;
        result = perplexity(self.model, tokens, options);
    }
    py::list windows;
    for (const PerplexityWindow& w : result.windows) {
        py::dict window;
        window["begin"] = w.begin;
        window["end"] = w.end;
        window["first_scored"] = w.first_scored;
        window["negative_log_likelihood_sum"] = w.negative_log_likelihood;
        windows.append(window);
    }
    py::dict out;
    out["perplexity"] = result.perplexity;
    out["negative_log_likelihood"] = result.negative_log_likelihood;
    out["tokens_scored"] = result.tokens_scored;
    out["windows"] = windows;
    return out;
}

using LogitsArray = py::array_t<double, py::array::c_style | py::array::forcecast>;

py::dict compareArrays(const LogitsArray& exact, const LogitsArray& other,
                       const py::object& token_ids) {
    if (exact.ndim() != 2 || other.ndim() != 2)
        throw std::invalid_argument("logits must be 2-D arrays [positions, vocabulary]");
    std::vector<std::uint32_t> tokens;
    if (!token_ids.is_none()) tokens = tokenIds(token_ids);
    const auto table = [](const LogitsArray& a) {
        const auto rows = static_cast<std::uint64_t>(a.shape(0));
        const auto columns = static_cast<std::uint64_t>(a.shape(1));
        return LogitsTable{rows, columns,
                           std::span<const double>(a.data(), static_cast<std::size_t>(a.size()))};
    };
    Comparison c;
    {
        py::gil_scoped_release release;
        c = compareLogits(table(exact), table(other), tokens);
    }
    const auto optional = [](const std::optional<double>& v) -> py::object {
        return v ? py::object(py::float_(*v)) : py::object(py::none());
    };
    std::vector<double> top1(c.top1_per_position.begin(), c.top1_per_position.end());
    py::dict out;
    out["kl_mean"] = c.kl_mean;
    out["kl_median"] = c.kl_median;
    out["kl_p99"] = c.kl_p99;
    out["kl_max"] = c.kl_max;
    out["top1_agreement"] = c.top1_agreement;
    out["top5_overlap"] = c.top5_overlap;
    out["max_abs_error"] = c.max_abs_error;
    out["rms_error"] = c.rms_error;
    out["perplexity_exact"] = optional(c.perplexity_exact);
    out["perplexity_other"] = optional(c.perplexity_other);
    out["kl_per_position"] = vectorArray(std::move(c.kl_per_position));
    out["top1_per_position"] = py::array(py::cast(c.top1_per_position)).attr("astype")("bool");
    out["top5_overlap_per_position"] = vectorArray(std::move(c.top5_overlap_per_position));
    out["max_abs_error_per_position"] = vectorArray(std::move(c.max_abs_error_per_position));
    out["rms_error_per_position"] = vectorArray(std::move(c.rms_error_per_position));
    return out;
}

PyModel loadModel(const std::optional<fs::path>& path) {
    PyModel result;
    const fs::path folder = path ? *path : bundledModel();
    result.folder = folder.string();
    LoadedCheckpoint loaded;
    {
        py::gil_scoped_release released;
        loaded = loadCheckpoint(folder);
    }
    result.model = std::move(loaded.model);
    if (loaded.tokenizer) {
        result.tokenizer = std::make_shared<const Tokenizer>(std::move(*loaded.tokenizer));
    }
    return result;
}

py::array_t<double> forwardBatch(const PyModel& self, const py::sequence& batch_rows,
                                 const std::optional<std::vector<std::uint64_t>>& lengths,
                                 const std::string& precision, std::uint32_t threads) {
    const bool double_precision = parsePrecision(precision);
    std::vector<std::vector<std::uint32_t>> rows;
    for (const py::object row : batch_rows) rows.push_back(tokenIds(row));
    TokenBatch batch;
    batch.batch = rows.size();
    batch.width = rows.empty() ? 0 : rows.front().size();
    for (const auto& row : rows) {
        if (row.size() != batch.width) {
            throw std::invalid_argument(
                "batch rows differ in width; pad them to one width and give lengths");
        }
        batch.tokens.insert(batch.tokens.end(), row.begin(), row.end());
    }
    if (lengths) batch.lengths = *lengths;
    Tensor logits;
    {
        py::gil_scoped_release released;
        ForwardOptions options;
        options.double_precision = double_precision;
        options.threads = threads;
        logits = self.model->forward(batch, options);
    }
    std::vector<py::ssize_t> shape(logits.shape.begin(), logits.shape.end());
    return toArray(std::move(logits), std::move(shape));
}

// ---- session ----------------------------------------------------------------------------------

struct PySession {
    TransformerKvSession session;
    bool busy = false;

    explicit PySession(TransformerKvSession s) : session(std::move(s)) {}
};

TransformerKvLogits parseLogits(const std::string& logits) {
    if (logits == "all") return TransformerKvLogits::every_position;
    if (logits == "last") return TransformerKvLogits::last_position;
    throw std::invalid_argument("logits must be \"all\" or \"last\"");
}

py::array_t<double> stepSession(PySession& self, const py::object& token_ids,
                                const std::string& precision, std::uint64_t max_cache_bytes,
                                std::uint32_t threads, const std::string& logits) {
    TransformerKvOptions options;
    options.double_precision = parsePrecision(precision);
    options.max_cache_bytes = max_cache_bytes;
    options.threads = threads;
    options.logits = parseLogits(logits);
    std::vector<std::uint32_t> tokens = tokenIds(token_ids);
    UseGuard guard(self.busy);
    TransformerKvStep step;
    {
        py::gil_scoped_release released;
        step = forwardCached(singleSequence(std::move(tokens)), self.session, options);
    }
    const auto width = static_cast<py::ssize_t>(step.logits.shape.at(1));
    const auto vocabulary = static_cast<py::ssize_t>(step.logits.shape.at(2));
    return toArray(std::move(step.logits), {width, vocabulary});
}

void restoreSession(PySession& self, const py::buffer& data,
                    const std::optional<ArtifactLimits>& limits) {
    const py::buffer_info info = data.request();
    if (info.ndim != 1 || info.itemsize != 1 || info.strides.at(0) != 1) {
        throw std::invalid_argument("snapshot data must be contiguous bytes");
    }
    const auto* begin = static_cast<const std::uint8_t*>(info.ptr);
    std::vector<std::uint8_t> bytes(begin, begin + info.size);
    const ArtifactLimits chosen = limits ? *limits : snapshotLimits(*self.session.model());
    UseGuard guard(self.busy);
    py::gil_scoped_release released;
    restoreSnapshot(self.session, bytes, chosen);
}

// ---- generation -------------------------------------------------------------------------------

// Samples one token per step: the draw for a token depends only on the position it takes, so
// stopping after each token samples exactly what one uninterrupted run samples. Each token is a
// transaction: its text and the step that feeds it are made on the side and committed together,
// so an error leaves the session, the text stream and the token list as they were before it.
class PyGenerator {
  public:
    PyGenerator(const PyModel& model, const std::string& prompt, std::uint64_t max_tokens,
                const SamplingOptions& sampling, std::vector<std::string> stops,
                bool double_precision, std::uint32_t threads)
        : tokenizer_(model.tokenizer),
          session_(model.model, 1),
          prompt_(model.requireTokenizer().encode(prompt)),
          remaining_(max_tokens),
          stream_(*tokenizer_, prompt_),
          stop_(std::move(stops)) {
        validateSampling(sampling);
        if (prompt_.empty()) throw std::invalid_argument("generation needs at least one token");
        options_.sampling = sampling;
        options_.eos = tokenizer_->eos();
        // Ids of a padded vocabulary beyond the tokenizer's pieces have no text.
        options_.sampled_vocabulary = tokenizer_->pieceCount();
        options_.kv.double_precision = double_precision;
        options_.kv.max_cache_bytes = std::numeric_limits<std::uint64_t>::max();
        options_.kv.threads = threads;
        options_.kv.logits = TransformerKvLogits::last_position;
    }

    py::str next() {
        UseGuard guard(busy_);
        while (!ended_ && remaining_ > 0) {
            if (logits_.data.empty()) {
                TransformerKvStep step;
                {
                    py::gil_scoped_release released;
                    step = forwardCached(singleSequence(prompt_), session_, options_.kv);
                }
                logits_ = std::move(step.logits);
            }
            const std::uint64_t position = session_.position();
            const std::uint32_t token =
                sampleNext(logits_, options_, position, session_.token_prefix());
            if (options_.eos && token == *options_.eos) {
                ended_ = true;
                break;
            }
            TextStream stream = stream_;
            StopText stop = stop_;
            const std::string piece = stop.push(stream.push(token));
            const py::str text = utf8(piece);
            tokens_.reserve(tokens_.size() + 1);
            // The last token, or one at the context or ending in a stop string, is not fed:
            // nothing would read its logits.
            const bool feed =
                remaining_ > 1 && position < session_.model()->spec().context && !stop.stopped();
            TransformerKvStep step;
            if (feed) {
                py::gil_scoped_release released;
                step = forwardCached(singleSequence({token}), session_, options_.kv);
            }
            // Nothing below throws.
            stream_ = std::move(stream);
            stop_ = std::move(stop);
            tokens_.push_back(token);
            --remaining_;
            if (feed) {
                logits_ = std::move(step.logits);
            } else {
                ended_ = true;
            }
            if (!piece.empty()) return text;
        }
        ended_ = true;
        if (!finished_) {
            finished_ = true;
            const std::string rest = stop_.push(stream_.finish()) + stop_.finish();
            if (!rest.empty()) return utf8(rest);
        }
        throw py::stop_iteration();
    }

    const std::vector<std::uint32_t>& tokens() const { return tokens_; }

  private:
    std::shared_ptr<const Tokenizer> tokenizer_;  // outlives stream_, which refers to it
    TransformerKvSession session_;
    std::vector<std::uint32_t> prompt_;
    std::uint64_t remaining_;
    TextStream stream_;
    StopText stop_;
    GenerateOptions options_;
    Tensor logits_;  // of the session's last position; empty until the prompt is fed
    std::vector<std::uint32_t> tokens_;
    bool ended_ = false;
    bool finished_ = false;
    bool busy_ = false;
};

const char* feedForwardName(FeedForwardKind kind) {
    switch (kind) {
        case FeedForwardKind::gelu:
            return "gelu";
        case FeedForwardKind::swiglu:
            return "swiglu";
        case FeedForwardKind::geglu_tanh:
            return "geglu_tanh";
    }
    return "unknown";
}

const char* dtypeName(DType dtype) {
    switch (dtype) {
        case DType::f32:
            return "f32";
        case DType::f16:
            return "f16";
        case DType::bf16:
            return "bf16";
    }
    return "unknown";
}

py::dict specDict(const TransformerSpec& s) {
    py::dict d;
    d["vocabulary"] = s.vocabulary;
    d["context"] = s.context;
    d["layers"] = s.layers;
    d["model_dim"] = s.model_dim;
    d["ffn_dim"] = s.ffn_dim;
    d["query_heads"] = s.query_heads;
    d["kv_heads"] = s.kv_heads;
    d["head_dim"] = s.head_dim;
    d["rope_base"] = s.position.rope_base;
    d["epsilon"] = s.normalization.epsilon;
    d["feed_forward"] = feedForwardName(s.feed_forward);
    d["weights_dtype"] = dtypeName(s.precision.weights);
    d["activations_dtype"] = dtypeName(s.precision.activations);
    d["kv_cache_dtype"] = dtypeName(s.precision.kv_cache);
    d["tied_embeddings"] = s.tied_embeddings;
    return d;
}

}  // namespace

PYBIND11_MODULE(_tarvel, m) {
    m.doc() = "Exact inference for decoder-only transformers with a KV cache";
    m.attr("__version__") = TARVEL_VERSION_STRING;
    registerErrors(m);

    py::class_<ArtifactLimits>(m, "ArtifactLimits",
                               "Bounds a snapshot must stay within before it is restored.")
        .def(py::init<>())
        .def_readwrite("max_file_bytes", &ArtifactLimits::max_file_bytes)
        .def_readwrite("max_manifest_bytes", &ArtifactLimits::max_manifest_bytes)
        .def_readwrite("max_tensor_bytes", &ArtifactLimits::max_tensor_bytes)
        .def_readwrite("max_tensor_count", &ArtifactLimits::max_tensor_count)
        .def_readwrite("max_tensor_rank", &ArtifactLimits::max_tensor_rank)
        .def_readwrite("max_input_tokens", &ArtifactLimits::max_input_tokens)
        .def_readwrite("max_tokenizer_state_bytes", &ArtifactLimits::max_tokenizer_state_bytes)
        .def_readwrite("max_snapshot_cache_bytes", &ArtifactLimits::max_snapshot_cache_bytes);

    py::class_<TransformerSpec>(m, "Spec", "The model's spec, read-only.")
        .def_property_readonly("vocabulary", [](const TransformerSpec& s) { return s.vocabulary; })
        .def_property_readonly("context", [](const TransformerSpec& s) { return s.context; })
        .def_property_readonly("layers", [](const TransformerSpec& s) { return s.layers; })
        .def_property_readonly("model_dim", [](const TransformerSpec& s) { return s.model_dim; })
        .def_property_readonly("ffn_dim", [](const TransformerSpec& s) { return s.ffn_dim; })
        .def_property_readonly("query_heads",
                               [](const TransformerSpec& s) { return s.query_heads; })
        .def_property_readonly("kv_heads", [](const TransformerSpec& s) { return s.kv_heads; })
        .def_property_readonly("head_dim", [](const TransformerSpec& s) { return s.head_dim; })
        .def_property_readonly("rope_base",
                               [](const TransformerSpec& s) { return s.position.rope_base; })
        .def_property_readonly("epsilon",
                               [](const TransformerSpec& s) { return s.normalization.epsilon; })
        .def_property_readonly(
            "feed_forward",
            [](const TransformerSpec& s) { return feedForwardName(s.feed_forward); })
        .def_property_readonly("tied_embeddings",
                               [](const TransformerSpec& s) { return s.tied_embeddings; })
        .def_property_readonly("canonical",
                               [](const TransformerSpec& s) { return canonicalSpecText(s); })
        .def_property_readonly("fingerprint",
                               [](const TransformerSpec& s) { return specFingerprint(s); })
        .def("to_dict", &specDict)
        .def("__repr__", [](const TransformerSpec& s) {
            return "Spec(" + py::repr(specDict(s)).cast<std::string>() + ")";
        });

    py::class_<PyTokenizer>(m, "Tokenizer",
                            "The model's tokenizer: tokenizer.json or SentencePiece.")
        .def(
            "encode",
            [](const PyTokenizer& t, const std::string& text, bool with_bos) {
                return t.tokenizer->encode(text, with_bos);
            },
            py::arg("text"), py::arg("with_bos") = true)
        .def(
            "decode",
            [](const PyTokenizer& t, const py::object& ids) {
                return utf8(t.tokenizer->decode(tokenIds(ids)));
            },
            py::arg("ids"))
        .def_property_readonly("identity",
                               [](const PyTokenizer& t) { return t.tokenizer->identity(); })
        .def_property_readonly("bos", [](const PyTokenizer& t) { return t.tokenizer->bos(); })
        .def_property_readonly("eos", [](const PyTokenizer& t) { return t.tokenizer->eos(); })
        .def_property_readonly("vocabulary",
                               [](const PyTokenizer& t) { return t.tokenizer->pieceCount(); });

    py::class_<PySession>(m, "Session", "One token sequence fed to the model in steps.")
        .def("step", &stepSession, py::arg("tokens"), py::kw_only(),
             py::arg("precision") = "double",
             py::arg("max_cache_bytes") = TransformerKvOptions{}.max_cache_bytes,
             py::arg("threads") = 0, py::arg("logits") = "all")
        .def_property_readonly("position",
                               [](PySession& s) {
                                   UseGuard guard(s.busy);
                                   return s.session.position();
                               })
        .def_property_readonly("tokens",
                               [](PySession& s) {
                                   UseGuard guard(s.busy);
                                   const auto& prefix = s.session.token_prefix();
                                   py::tuple out(prefix.size());
                                   for (std::size_t i = 0; i < prefix.size(); ++i)
                                       out[i] = prefix[i];
                                   return out;
                               })
        .def("fork",
             [](PySession& s) {
                 UseGuard guard(s.busy);
                 py::gil_scoped_release released;
                 return std::make_unique<PySession>(TransformerKvSession(s.session));
             })
        .def("save",
             [](PySession& s) {
                 UseGuard guard(s.busy);
                 std::vector<std::uint8_t> bytes;
                 {
                     py::gil_scoped_release released;
                     bytes = saveSnapshot(s.session);
                 }
                 return py::bytes(reinterpret_cast<const char*>(bytes.data()), bytes.size());
             })
        .def("restore", &restoreSession, py::arg("data"), py::arg("limits") = py::none())
        .def("reset", [](PySession& s) {
            UseGuard guard(s.busy);
            s.session.reset(s.session.tag());
        });

    py::class_<PyGenerator>(m, "Generator", "Text pieces of a generation, as they complete.")
        .def("__iter__", [](py::object self) { return self; })
        .def("__next__", &PyGenerator::next)
        .def_property_readonly("tokens", &PyGenerator::tokens);

    py::class_<PyModel>(m, "Model", "A loaded checkpoint: immutable, shared by its sessions.")
        .def_property_readonly("spec", [](const PyModel& self) { return self.model->spec(); })
        .def_property_readonly("tokenizer",
                               [](const PyModel& self) -> std::optional<PyTokenizer> {
                                   if (!self.tokenizer) return std::nullopt;
                                   return PyTokenizer{self.tokenizer};
                               })
        .def_property_readonly("identity",
                               [](const PyModel& self) { return self.model->artifact_checksum(); })
        .def_property_readonly("tokenizer_identity",
                               [](const PyModel& self) { return self.model->tokenizer_identity(); })
        .def_property_readonly(
            "kv_bytes_per_token",
            [](const PyModel& self) { return kvBytesPerToken(self.model->spec()); })
        .def("session",
             [](const PyModel& self) {
                 return std::make_unique<PySession>(TransformerKvSession(self.model, 1));
             })
        .def("snapshot_limits", [](const PyModel& self) { return snapshotLimits(*self.model); })
        .def("forward", &forwardBatch, py::arg("batch"), py::arg("lengths") = py::none(),
             py::kw_only(), py::arg("precision") = "double", py::arg("threads") = 0)
        .def(
            "generate",
            [](const PyModel& self, const std::string& prompt, std::uint64_t max_tokens,
               double temperature, double top_p, std::uint64_t seed, std::uint64_t top_k,
               double min_p, double repetition_penalty, std::vector<std::string> stop,
               const std::string& precision, std::uint32_t threads) {
                return std::make_unique<PyGenerator>(
                    self, prompt, max_tokens,
                    SamplingOptions{temperature, top_p, seed, top_k, min_p, repetition_penalty},
                    std::move(stop), parsePrecision(precision), threads);
            },
            py::arg("prompt"), py::arg("max_tokens") = 64, py::arg("temperature") = 0.0,
            py::arg("top_p") = 1.0, py::arg("seed") = 0, py::kw_only(), py::arg("top_k") = 0,
            py::arg("min_p") = 0.0, py::arg("repetition_penalty") = 1.0,
            py::arg("stop") = std::vector<std::string>{}, py::arg("precision") = "double",
            py::arg("threads") = 0);

    m.def("load", &loadModel, py::arg("path") = py::none(),
          "Loads a checkpoint folder; without a path, the bundled model.");
    m.def("score", &scoreModel, py::arg("model"), py::arg("tokens"), py::kw_only(),
          py::arg("top") = 0, py::arg("precision") = "double", py::arg("threads") = 0,
          "Logits of every position and each token's log-probability given the tokens before it.");
    m.def("perplexity", &perplexityModel, py::arg("model"), py::arg("tokens"), py::kw_only(),
          py::arg("context") = 0, py::arg("stride") = 0, py::arg("precision") = "double",
          py::arg("threads") = 0, "Exact perplexity over sliding windows.");
    m.def("compare", &compareArrays, py::arg("exact"), py::arg("other"),
          py::arg("tokens") = py::none(),
          "How far other logits [positions, vocabulary] are from the exact ones.");
}
