// XGBoost's saved models (JSON or UBJSON) read into flat node arrays.
#pragma once

#include <cstddef>

#include "core/trees.hpp"

namespace movra::core {

// Reads the trees of a gbtree model saved by Booster.save_raw("json") (XGBoost 1.7 to 3.x).
// Categorical splits keep their sets of category codes (trees.hpp). Throws std::invalid_argument
// with a readable message on malformed JSON, another booster kind or vector leaves.
TreeArrays read_xgboost_json(const char* text, std::size_t length);

// The same from Booster.save_raw("ubj"), which XGBoost writes several times faster than JSON.
TreeArrays read_xgboost_ubjson(const char* data, std::size_t length);

}  // namespace movra::core
