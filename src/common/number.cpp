#include "common/number.h"

#include <boost/lexical_cast.hpp>

bool TryToInt32(const std::wstring& text, int& value) {
    return boost::conversion::try_lexical_convert(text, value);
}

int ToInt32OrMinusOne(const std::wstring& text) {
    int value = 0;
    return TryToInt32(text, value) ? value : -1;
}
