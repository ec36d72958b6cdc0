/* The C interface of the CAN driver library (tarnlib32.dll / libtarnlib32.so): the
 * functions this product calls, as the driver exports them, and the data layouts they
 * exchange. The simulated driver implements the same functions. All functions use the
 * TARN_CALL convention (__stdcall on Windows) and C linkage. */
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

/* Items of tarnGetChannelData. */
#define TARN_CHANNELDATA_CARD_NUMBER 5        /* uint32_t */
#define TARN_CHANNELDATA_CHAN_NO_ON_CARD 6    /* uint32_t */
#define TARN_CHANNELDATA_CARD_SERIAL_NO 7     /* uint64_t */
#define TARN_CHANNELDATA_CARD_UPC_NO 11       /* uint64_t, the EAN in packed decimal */
#define TARN_CHANNELDATA_DEVDESCR_ASCII 26    /* char[]: the channel described for people (optional) */
#define TARN_CHANNELDATA_BUS_PARAM_LIMITS 45  /* tarnBusParamLimits */
#define TARN_CHANNELDATA_CLOCK_INFO 46        /* tarnClockInfo */

/* Items of tarnGetHandleData. */
#define TARN_HANDLEDATA_CAPABILITIES 1 /* uint32_t; bit 0: legacy bus parameter form */
#define TARN_HANDLEDATA_FIRMWARE_REV 9 /* uint64_t: major bits 48-63, minor 32-47, build 0-15 */
#define TARN_HANDLEDATA_BUS_TYPE 30    /* uint32_t */
#define TARN_HANDLEDATA_CLOCK_INFO 46  /* tarnClockInfo */

#define TARN_CAPABILITY_LEGACY_BUS_PARAMS 0x1u

/* Functions of tarnIoCtl. The buffer holds a uint32_t value (1 = on, 0 = off), except for
 * TARN_IOCTL_GET_EVENTHANDLE, whose buffer receives a void* (sizeof(void*) bytes). */
#define TARN_IOCTL_SET_TIMER_SCALE 6   /* 1: time stamps in microseconds (the only scale) */
#define TARN_IOCTL_SET_TXACK 7         /* transmit acknowledgements to the sender */
#define TARN_IOCTL_GET_EVENTHANDLE 14  /* the wait handle, signalled when frames wait */
#define TARN_IOCTL_SET_LOCAL_TXACK 32  /* flag locally echoed frames LOCAL_TXACK */
#define TARN_IOCTL_SET_LOCAL_TXECHO 46 /* this handle receives what the channel's other handles send */

/* Output control modes of tarnSetBusOutputControl. */
#define TARN_DRIVERTYPE_SILENT 1
#define TARN_DRIVERTYPE_NORMAL 4

/* Open flags of tarnOpenChannel. */
#define TARN_OPEN_EXCLUSIVE 0x8
#define TARN_OPEN_REQUIRE_EXTENDED 0x10
#define TARN_OPEN_ACCEPT_VIRTUAL 0x20
#define TARN_OPEN_OVERRIDE_EXCLUSIVE 0x40
#define TARN_OPEN_REQUIRE_INIT_ACCESS 0x80
#define TARN_OPEN_NO_INIT_ACCESS 0x100
#define TARN_OPEN_ACCEPT_LARGE_DLC 0x200
#define TARN_OPEN_CAN_FD 0x400
#define TARN_OPEN_CAN_FD_NONISO 0x800

/* Message flags of tarnWrite and the read functions. */
#define TARN_MSG_RTR 0x1u
#define TARN_MSG_STD 0x2u
#define TARN_MSG_EXT 0x4u
#define TARN_MSG_WAKEUP 0x8u
#define TARN_MSG_NERR 0x10u
#define TARN_MSG_ERROR_FRAME 0x20u
#define TARN_MSG_TXACK 0x40u
#define TARN_MSG_TXRQ 0x80u
#define TARN_MSG_DELAY_MSG 0x100u
#define TARN_MSG_HW_OVERRUN 0x200u
#define TARN_MSG_SW_OVERRUN 0x400u
#define TARN_MSG_STUFF 0x800u
#define TARN_MSG_FORM 0x1000u
#define TARN_MSG_CRC 0x2000u
#define TARN_MSG_BIT0 0x4000u
#define TARN_MSG_BIT1 0x8000u
#define TARN_MSG_FDF 0x10000u
#define TARN_MSG_BRS 0x20000u
#define TARN_MSG_ESI 0x40000u
#define TARN_MSG_SINGLE_SHOT 0x1000000u
#define TARN_MSG_TXNACK 0x2000000u
#define TARN_MSG_ABL 0x4000000u
#define TARN_MSG_LOCAL_TXACK 0x10000000u

/* Status word of tarnReadStatus (bits 0-10). */
#define TARN_STAT_ERROR_PASSIVE 0x1u
#define TARN_STAT_BUS_OFF 0x2u
#define TARN_STAT_ERROR_WARNING 0x4u
#define TARN_STAT_ERROR_ACTIVE 0x8u
#define TARN_STAT_TX_PENDING 0x10u
#define TARN_STAT_RX_PENDING 0x20u
#define TARN_STAT_TXERR 0x80u
#define TARN_STAT_RXERR 0x100u
#define TARN_STAT_HW_OVERRUN 0x200u
#define TARN_STAT_SW_OVERRUN 0x400u

/* Bus types of TARN_HANDLEDATA_BUS_TYPE. */
#define TARN_BUSTYPE_PCI 1
#define TARN_BUSTYPE_USB 2
#define TARN_BUSTYPE_WLAN 3
#define TARN_BUSTYPE_LAN 4

/* One phase's bit timing in time quanta, in driver order. */
typedef struct tarnBusParamsTq {
    int32_t tq;
    int32_t phase1;
    int32_t phase2;
    int32_t sjw;
    int32_t prop;
    int32_t prescaler;
} tarnBusParamsTq;

/* Channel item 45: 100 bytes. */
typedef struct tarnBusParamLimits {
    int32_t version;
    tarnBusParamsTq nominal_min;
    tarnBusParamsTq nominal_max;
    tarnBusParamsTq data_min;
    tarnBusParamsTq data_max;
} tarnBusParamLimits;

/* Channel and handle item 46: 20 bytes. Clock = numerator / denominator * 10^power_of_10 Hz. */
typedef struct tarnClockInfo {
    int32_t version;
    int32_t numerator;
    int32_t denominator;
    int32_t power_of_10;
    int32_t accuracy_ppm;
} tarnClockInfo;

typedef void(TARN_CALL* tarnInitializeLibrary_fn)(void);
typedef tarnStatus(TARN_CALL* tarnUnloadLibrary_fn)(void);
typedef tarnStatus(TARN_CALL* tarnGetNumberOfChannels_fn)(int32_t* count);
typedef tarnStatus(TARN_CALL* tarnEnumHardwareEx_fn)(int32_t* count);
typedef tarnStatus(TARN_CALL* tarnGetChannelData_fn)(int32_t channel, int32_t item, void* buffer,
                                                     uint32_t size);
/* Returns the handle (>= 0) or a negative status. */
typedef tarnHandle(TARN_CALL* tarnOpenChannel_fn)(int32_t channel, int32_t flags);
typedef tarnStatus(TARN_CALL* tarnClose_fn)(tarnHandle handle);
typedef tarnStatus(TARN_CALL* tarnSetBusParams_fn)(tarnHandle handle, int32_t bitrate,
                                                   uint32_t tseg1, uint32_t tseg2, uint32_t sjw,
                                                   uint32_t samples, uint32_t sync_mode);
typedef tarnStatus(TARN_CALL* tarnSetBusParamsTq_fn)(tarnHandle handle,
                                                     const tarnBusParamsTq* nominal);
typedef tarnStatus(TARN_CALL* tarnSetBusParamsFdTq_fn)(tarnHandle handle,
                                                       const tarnBusParamsTq* nominal,
                                                       const tarnBusParamsTq* data);
typedef tarnStatus(TARN_CALL* tarnGetBusParams_fn)(tarnHandle handle, int32_t* bitrate,
                                                   uint32_t* tseg1, uint32_t* tseg2,
                                                   uint32_t* sjw, uint32_t* samples,
                                                   uint32_t* sync_mode);
typedef tarnStatus(TARN_CALL* tarnGetBusParamsFd_fn)(tarnHandle handle, int32_t* bitrate,
                                                     uint32_t* tseg1, uint32_t* tseg2,
                                                     uint32_t* sjw);
typedef tarnStatus(TARN_CALL* tarnSetBusOutputControl_fn)(tarnHandle handle, uint32_t mode);
typedef tarnStatus(TARN_CALL* tarnBusOn_fn)(tarnHandle handle);
typedef tarnStatus(TARN_CALL* tarnBusOff_fn)(tarnHandle handle);
typedef tarnStatus(TARN_CALL* tarnWrite_fn)(tarnHandle handle, int32_t id, const void* data,
                                            uint32_t dlc, uint32_t flags);
typedef tarnStatus(TARN_CALL* tarnWriteSync_fn)(tarnHandle handle, uint32_t timeout_ms);
/* data receives up to 64 bytes; time receives the 32-bit time stamp in microseconds. */
typedef tarnStatus(TARN_CALL* tarnReadWait_fn)(tarnHandle handle, int32_t* id, void* data,
                                               uint32_t* dlc, uint32_t* flags, uint32_t* time,
                                               uint32_t timeout_ms);
typedef tarnStatus(TARN_CALL* tarnRead_fn)(tarnHandle handle, int32_t* id, void* data,
                                           uint32_t* dlc, uint32_t* flags, uint32_t* time);
typedef tarnStatus(TARN_CALL* tarnReadStatus_fn)(tarnHandle handle, uint32_t* status);
typedef tarnStatus(TARN_CALL* tarnIoCtl_fn)(tarnHandle handle, uint32_t function, void* buffer,
                                            uint32_t size);
typedef tarnStatus(TARN_CALL* tarnGetHandleData_fn)(tarnHandle handle, int32_t item,
                                                    void* buffer, uint32_t size);

/* Optional: the text that explains the calling thread's last failed call (what to do
 * about it, say), copied into buffer and then forgotten; returns its length, 0 if none.
 * Drivers without it have no such texts. */
typedef uint32_t(TARN_CALL* tarnGetErrorDetail_fn)(char* buffer, uint32_t size);

#ifdef __cplusplus
}
#endif

#endif
