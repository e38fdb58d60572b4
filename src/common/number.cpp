#include "common/number.h"

#include <boost/lexical_cast.hpp>

int ToInt32OrMinusOne(const std::wstring& text) {
    try {
        return boost::lexical_cast<int>(text);
    } catch (const boost::bad_lexical_cast&) {
        return -1;
    }
}
