#pragma once

#include <gtest/gtest.h>

#include <string>

// Expects `statement` to throw exactly the exception type `Type` (not merely a subclass
// caught by a base handler) with exactly `message` as its what().
#define EXPECT_THROW_MSG(statement, Type, message)                                       \
    do {                                                                                 \
        bool tarvel_caught = false;                                                      \
        try {                                                                            \
            statement;                                                                   \
        } catch (const Type& tarvel_e) {                                                 \
            tarvel_caught = true;                                                        \
            EXPECT_EQ(typeid(tarvel_e), typeid(Type)) << "wrong exception type";         \
            EXPECT_EQ(std::string(tarvel_e.what()), std::string(message));               \
        } catch (const std::exception& tarvel_e) {                                       \
            ADD_FAILURE() << "unexpected exception: " << typeid(tarvel_e).name() << ": " \
                          << tarvel_e.what();                                            \
            tarvel_caught = true;                                                        \
        }                                                                                \
        if (!tarvel_caught) ADD_FAILURE() << "no exception from " #statement;            \
    } while (false)

#include <functional>

#include "tarvel/format/artifact_error.hpp"
#include "tarvel/kv/kv_error.hpp"

// Expects the action to throw `Error` with exactly this kind and message.
template <typename Error, typename Kind>
inline void expectKindThrow(const std::function<void()>& action, Kind kind,
                            const std::string& message) {
    try {
        action();
        ADD_FAILURE() << "no exception, expected " << message;
    } catch (const Error& e) {
        EXPECT_EQ(e.kind(), kind) << e.what();
        EXPECT_EQ(std::string(e.what()), message);
    }
}

inline void expectKvThrow(const std::function<void()>& action,
                          Nuvexis::Core::Tarvel::TransformerKvErrorKind kind,
                          const std::string& message) {
    expectKindThrow<Nuvexis::Core::Tarvel::TransformerKvError>(action, kind, message);
}

inline void expectArtifactThrow(const std::function<void()>& action,
                                Nuvexis::Core::Tarvel::ArtifactErrorKind kind,
                                const std::string& message) {
    expectKindThrow<Nuvexis::Core::Tarvel::ArtifactError>(action, kind, message);
}
