#pragma once

// Umbrella header: every public header of the runtime.
#include "tarvel/core/tensor.hpp"
#include "tarvel/core/value_check.hpp"
#include "tarvel/spec/transformer_spec.hpp"
