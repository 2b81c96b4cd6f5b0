// The platform interface is header-only; this unit makes its headers compile on their own in
// every firmware build (host and chip).
#include "firmware/platform/platform.hpp"
