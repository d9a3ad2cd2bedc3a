import os
from typing import Iterator, Literal, Optional, Sequence, Union

import numpy as np
import numpy.typing as npt

__version__: str

Precision = Literal["double", "float32"]
# Token ids: an int, a sequence of ints or a 1-D integer array; anything else is a TypeError.
TokenIds = Union[int, np.integer, Sequence[Union[int, np.integer]], npt.NDArray[np.integer]]
KvErrorKind = Literal["invalid_input", "invalid_state", "context_exceeded", "resource_limit"]
ArtifactErrorKind = Literal["corrupt_bytes", "limit_exceeded", "model_mismatch", "unsupported_version"]

class KvError(Exception):
    """A refused session step; the session is unchanged."""
    kind: KvErrorKind

class KvInputError(KvError, ValueError): ...
class KvStateError(KvError, ValueError): ...
class KvContextError(KvError, ValueError): ...
class KvResourceError(KvError, MemoryError): ...

class ArtifactError(ValueError):
    """Refused snapshot bytes; the session is unchanged."""
    kind: ArtifactErrorKind

class ArtifactLimits:
    max_file_bytes: int
    max_manifest_bytes: int
    max_tensor_bytes: int
    max_tensor_count: int
    max_tensor_rank: int
    max_input_tokens: int
    max_tokenizer_state_bytes: int
    max_snapshot_cache_bytes: int
    def __init__(self) -> None: ...

class Spec:
    @property
    def vocabulary(self) -> int: ...
    @property
    def context(self) -> int: ...
    @property
    def layers(self) -> int: ...
    @property
    def model_dim(self) -> int: ...
    @property
    def ffn_dim(self) -> int: ...
    @property
    def query_heads(self) -> int: ...
    @property
    def kv_heads(self) -> int: ...
    @property
    def head_dim(self) -> int: ...
    @property
    def rope_base(self) -> float: ...
    @property
    def epsilon(self) -> float: ...
    @property
    def feed_forward(self) -> str: ...
    @property
    def tied_embeddings(self) -> bool: ...
    @property
    def canonical(self) -> str: ...
    @property
    def fingerprint(self) -> int: ...
    def to_dict(self) -> dict[str, Union[int, float, str, bool]]: ...

class Tokenizer:
    def encode(self, text: str, with_bos: bool = True) -> list[int]: ...
    def decode(self, ids: TokenIds) -> str: ...
    @property
    def identity(self) -> str: ...
    @property
    def bos(self) -> Optional[int]: ...
    @property
    def eos(self) -> Optional[int]: ...
    @property
    def vocabulary(self) -> int: ...

class Session:
    def step(
        self,
        tokens: TokenIds,
        *,
        precision: Precision = "double",
        max_cache_bytes: int = 536870912,
        threads: int = 0,
        logits: Literal["all", "last"] = "all",
    ) -> npt.NDArray[np.float64]:
        """Logits of shape (len(tokens), vocabulary), or (1, vocabulary) with logits="last": the
        last row alone, bit for bit, without computing the others. The session ends the same
        either way, and is unchanged if it raises.
        threads: worker threads of the step (0: one per hardware thread); results do not depend
        on it."""
    @property
    def position(self) -> int: ...
    @property
    def tokens(self) -> tuple[int, ...]: ...
    def fork(self) -> Session: ...
    def save(self) -> bytes: ...
    def restore(self, data: Union[bytes, bytearray, memoryview], limits: Optional[ArtifactLimits] = None) -> None: ...
    def reset(self) -> None: ...

class Generator(Iterator[str]):
    def __iter__(self) -> Generator: ...
    def __next__(self) -> str: ...
    @property
    def tokens(self) -> list[int]: ...

class Model:
    @property
    def spec(self) -> Spec: ...
    @property
    def tokenizer(self) -> Optional[Tokenizer]: ...
    @property
    def identity(self) -> int: ...
    @property
    def tokenizer_identity(self) -> Optional[str]: ...
    @property
    def kv_bytes_per_token(self) -> int: ...
    def session(self) -> Session: ...
    def snapshot_limits(self) -> ArtifactLimits: ...
    def forward(
        self,
        batch: Union[Sequence[TokenIds], npt.NDArray[np.integer]],
        lengths: Optional[Sequence[int]] = None,
        *,
        precision: Precision = "double",
        threads: int = 0,
    ) -> npt.NDArray[np.float64]:
        """Logits of shape (batch, width, vocabulary)."""
    def generate(
        self,
        prompt: str,
        max_tokens: int = 64,
        temperature: float = 0.0,
        top_p: float = 1.0,
        seed: int = 0,
        *,
        top_k: int = 0,
        min_p: float = 0.0,
        repetition_penalty: float = 1.0,
        stop: Sequence[str] = (),
        precision: Precision = "double",
        threads: int = 0,
    ) -> Generator:
        """Text pieces as they complete, sampled as `tarvel generate` samples with the same
        options. Generation ends before the first of the stop strings, which is not returned.
        Ids past the tokenizer's pieces (a padded vocabulary) are never sampled; a next() that
        raises leaves the generator as it was before it."""

def load(path: Union[str, os.PathLike[str], None] = None) -> Model: ...

def score(
    model: Model,
    tokens: TokenIds,
    *,
    top: int = 0,
    precision: Precision = "double",
    threads: int = 0,
) -> dict[str, npt.NDArray[np.generic]]:
    """The logits of every position ("logits", float64 [n, vocabulary]) from one step of a fresh
    session, and each token's log-probability given the tokens before it ("logprobs", [n - 1],
    the log-softmax of the row before it in double with its maximum subtracted), with the `top`
    likeliest ids at each position ("top_tokens", "top_logprobs", [n - 1, top])."""

def perplexity(
    model: Model,
    tokens: TokenIds,
    *,
    context: int = 0,
    stride: int = 0,
    precision: Precision = "double",
    threads: int = 0,
) -> dict[str, object]:
    """Exact perplexity over sliding windows of `context` tokens (0: the model's) started
    `stride` apart (0: the window length), as `tarvel perplexity` computes it: "perplexity",
    "negative_log_likelihood" (the mean), "tokens_scored" and the "windows"."""

def compare(
    exact: npt.ArrayLike,
    other: npt.ArrayLike,
    tokens: Optional[TokenIds] = None,
) -> dict[str, object]:
    """How far `other` logits [positions, vocabulary] are from `exact` ones, as `tarvel compare
    --json` reports it: kl_mean, kl_median, kl_p99, kl_max, top1_agreement, top5_overlap,
    max_abs_error, rms_error, perplexity_exact and perplexity_other (None without tokens), and
    the per-position arrays."""
