#include "sim/NumberText.h"

NumberRead ReadNumber(const std::wstring& text, std::uint32_t* value) {
    const bool hex = text.size() > 2 && text[0] == L'0' && (text[1] == L'x' || text[1] == L'X');
    const std::size_t first = hex ? 2 : 0;
    if (text.size() <= first)
        return NumberRead::Malformed;
    bool tooLarge = false;
    std::uint64_t number = 0;
    for (std::size_t i = first; i < text.size(); ++i) {
        const wchar_t c = text[i];
        unsigned digit;
        if (c >= L'0' && c <= L'9')
            digit = static_cast<unsigned>(c - L'0');
        else if (hex && c >= L'a' && c <= L'f')
            digit = static_cast<unsigned>(c - L'a' + 10);
        else if (hex && c >= L'A' && c <= L'F')
            digit = static_cast<unsigned>(c - L'A' + 10);
        else
            return NumberRead::Malformed;
        number = number * (hex ? 16 : 10) + digit;
        if (number > 0xFFFFFFFFull) {
            tooLarge = true;
            number = 0xFFFFFFFFull + 1; // keeps reading for a malformed digit further on
        }
    }
    if (tooLarge)
        return NumberRead::TooLarge;
    *value = static_cast<std::uint32_t>(number);
    return NumberRead::Ok;
}
