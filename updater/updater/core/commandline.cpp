#include "commandline.h"

namespace commandline {

std::wstring escapeQuoted(const std::wstring &argument)
{
    std::wstring escaped;
    escaped.reserve(argument.size() + 8);
    std::size_t backslashes = 0;
    for (const wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        if (c == L'"') {
            escaped.append(2 * backslashes + 1, L'\\');
        } else {
            escaped.append(backslashes, L'\\');
        }
        escaped.push_back(c);
        backslashes = 0;
    }
    // They stand before the closing quote.
    escaped.append(2 * backslashes, L'\\');
    return escaped;
}

std::wstring quoteArgument(const std::wstring &argument)
{
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\r\"") == std::wstring::npos)
        return argument;
    return L"\"" + escapeQuoted(argument) + L"\"";
}

std::vector<std::wstring> split(const std::wstring &text)
{
    std::vector<std::wstring> arguments;
    std::wstring current;
    bool inArgument = false;
    bool quoted = false;
    const std::size_t size = text.size();
    std::size_t i = 0;
    while (i < size) {
        const wchar_t c = text[i];
        if (c == L'\\') {
            std::size_t end = i;
            while (end < size && text[end] == L'\\')
                ++end;
            const std::size_t count = end - i;
            inArgument = true;
            if (end < size && text[end] == L'"') {
                current.append(count / 2, L'\\');
                if (count % 2 == 1) {
                    current.push_back(L'"');
                    ++end;
                }
                // With an even count the quote is read next, as a quote.
            } else {
                current.append(count, L'\\');
            }
            i = end;
        } else if (c == L'"') {
            inArgument = true;
            if (quoted && i + 1 < size && text[i + 1] == L'"') {
                current.push_back(L'"');
                quoted = false;
                i += 2;
            } else {
                quoted = !quoted;
                ++i;
            }
        } else if (!quoted && (c == L' ' || c == L'\t')) {
            if (inArgument)
                arguments.push_back(current);
            current.clear();
            inArgument = false;
            ++i;
        } else {
            current.push_back(c);
            inArgument = true;
            ++i;
        }
    }
    if (inArgument)
        arguments.push_back(current);
    return arguments;
}

} // namespace commandline
