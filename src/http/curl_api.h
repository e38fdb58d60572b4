// libcurl's easy interface as the transfer engine uses it. The engine sets the long-standing
// progress callback with double counts and reads the announced length as a double; current
// libcurl marks both as deprecated without changing how they behave, so the warning is off here.
#pragma once

#ifndef CURL_DISABLE_DEPRECATION
#define CURL_DISABLE_DEPRECATION
#endif
#include <curl/curl.h>
