#pragma once

#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "recognition/OcrEngine.hpp"
#include "support/RenderedText.hpp"

namespace scrivel::testing {

// A suite of tests that read rendered text with the real OCR engine: the
// models are loaded once for the suite, and every test is skipped, saying
// why, when the models or the fonts are missing.
class OcrSuite : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        try {
            engine_ = std::make_shared<const OcrEngine>(OcrEngine::locateModels());
        } catch (const std::exception& error) {
            missing_ = error.what();
        }
    }
    static void TearDownTestSuite() { engine_.reset(); }
    void SetUp() override
    {
        if (!engine_)
            GTEST_SKIP() << "text recognition models are missing; run scripts/fetch-models. " << missing_;
        if (!fontsAvailable())
            GTEST_SKIP() << "fonts-dejavu-core and fonts-noto-cjk are needed to render test text";
    }

    static inline std::shared_ptr<const OcrEngine> engine_;
    static inline std::string missing_;
};

} // namespace scrivel::testing
