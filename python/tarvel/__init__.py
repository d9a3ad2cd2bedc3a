"""Exact inference for decoder-only transformers with a KV cache.

    import tarvel
    model = tarvel.load()              # the bundled model, or tarvel.load("path/to/checkpoint")
    logits = model.session().step([1, 2, 3])
"""

from ._tarvel import (
    ArtifactError,
    ArtifactLimits,
    Generator,
    KvContextError,
    KvError,
    KvInputError,
    KvResourceError,
    KvStateError,
    Model,
    Session,
    Spec,
    Tokenizer,
    __version__,
    compare,
    load,
    perplexity,
    score,
)

__all__ = [
    "ArtifactError",
    "ArtifactLimits",
    "Generator",
    "KvContextError",
    "KvError",
    "KvInputError",
    "KvResourceError",
    "KvStateError",
    "Model",
    "Session",
    "Spec",
    "Tokenizer",
    "__version__",
    "compare",
    "load",
    "perplexity",
    "score",
]
