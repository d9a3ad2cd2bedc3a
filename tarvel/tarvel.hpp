#pragma once

// Umbrella header: every public header of the runtime.
#include "tarvel/core/tensor.hpp"
#include "tarvel/core/value_check.hpp"
#include "tarvel/spec/transformer_spec.hpp"
#include "tarvel/spec/fingerprint.hpp"
#include "tarvel/ops/rms_norm.hpp"
#include "tarvel/ops/rope.hpp"
#include "tarvel/ops/attention.hpp"
#include "tarvel/ops/linear.hpp"
#include "tarvel/model/weights.hpp"
#include "tarvel/model/forward.hpp"
#include "tarvel/artifact/encoding.hpp"
#include "tarvel/artifact/container.hpp"
