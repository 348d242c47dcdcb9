// The texts that show versions: the confirmation of an image and the receiver's
// version in the window.
#include <gtest/gtest.h>

#include "update/FirmwareImage.h"

namespace {

TEST(VersionTexts, ConfirmationTextOfTheImagesVersion) {
    const struct {
        std::uint32_t word;
        const wchar_t* text;
    } cases[] = {
        {0x00000086, L"Update firmware version: V1.34"},
        {0x00030086, L"Update firmware version: V1.34  Beta3"},
        // Bits 24-31 count in the release text: the whole word is 16777350.
        {0x01000086, L"Update firmware version: V167773.50"},
        {0x000000FF, L"Update firmware version: V2.55"},
        {0x00FF0001, L"Update firmware version: V0.01  Beta255"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(FormatConfirmationText(c.word), c.text) << std::hex << c.word;
}

TEST(VersionTexts, ReceiverVersionShownInTheWindow) {
    const struct {
        std::uint32_t word;
        const wchar_t* text;
    } cases[] = {
        {0xFFFFFFFF, L"?"},
        {0x00030086, L"V1.34  Beta3"},
        {0x00000086, L"V1.34"},
        {0x01000086, L"V1.34"}, // bits 24-31 play no part here
        {0x5A5A5A5A, L"V231.30  Beta90"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(FormatVersionText(c.word), c.text) << std::hex << c.word;
}

} // namespace
