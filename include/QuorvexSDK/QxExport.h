// Symbol export for the QuorvexSDK shared library.
#pragma once

#if defined(_WIN32)
#  if defined(QUORVEXSDK_BUILDING_LIBRARY)
#    define QX_SDK_API __declspec(dllexport)
#  else
#    define QX_SDK_API __declspec(dllimport)
#  endif
#else
#  define QX_SDK_API __attribute__((visibility("default")))
#endif
