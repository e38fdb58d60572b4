#include "update/service_address.h"

#ifndef PALLATON_UPDATE_SERVICE
#define PALLATON_UPDATE_SERVICE "http://127.0.0.1:18327"
#endif
#define PALLATON_WIDEN2(text) L##text
#define PALLATON_WIDEN(text) PALLATON_WIDEN2(text)

const wchar_t kServiceAddress[] = PALLATON_WIDEN(PALLATON_UPDATE_SERVICE);
