/* The C interface of the CAN driver library (tarnlib32.dll / libtarnlib32.so): the
 * functions this product calls, as the driver exports them. The simulated driver
 * implements the same functions. */
#ifndef TARNLIB_DRIVER_API_H
#define TARNLIB_DRIVER_API_H

#include <stdint.h>

#if defined(_WIN32)
#define TARN_CALL __stdcall
#else
#define TARN_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef int32_t tarnStatus;
typedef int32_t tarnHandle;

typedef void(TARN_CALL* tarnInitializeLibrary_fn)(void);
typedef tarnStatus(TARN_CALL* tarnUnloadLibrary_fn)(void);
typedef tarnStatus(TARN_CALL* tarnGetNumberOfChannels_fn)(int32_t* count);

#ifdef __cplusplus
}
#endif

#endif
