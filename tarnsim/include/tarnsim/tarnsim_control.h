/* The control interface of the simulated CAN driver, exported beside the driver functions:
 * tests and tools use it to change the virtual hardware the way a person would change the
 * real one (unplug an interface, add a foreign node to a bus) and to read what happened on
 * the buses. Interfaces are numbered from 0 in configuration order, channels from 0 on their
 * interface, buses from 0 in configuration order. Every function returns a driver status
 * (0 on success, negative on error). */
#ifndef TARNSIM_CONTROL_H
#define TARNSIM_CONTROL_H

#include <stdint.h>

#include "tarnlib/driver_api.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct tarnsim_bus_stats {
    uint64_t frames;       /* frames carried, error frames included */
    uint64_t error_frames; /* error frames injected */
    uint64_t bits;         /* bits on the wire, stuffing approximated */
    uint64_t busy_ns;      /* time the wire was busy */
    uint64_t elapsed_ns;   /* time since the statistics were reset */
    double load;           /* busy_ns / elapsed_ns */
} tarnsim_bus_stats;

/* Attaches this process to the simulated hardware of a configuration file (null: the file
 * named by TARNSIM_CONFIG, else the built-in default). This process's open handles are
 * closed. */
tarnStatus TARN_CALL tarnsim_configure(const char* config_path);
/* Resets the whole shared state of the attached instance to its configuration: every
 * handle of every process becomes invalid, queues and statistics are emptied. */
tarnStatus TARN_CALL tarnsim_reset(void);
/* Unplugs (0) or replugs (1) an interface. Handles open on it fail with tarnERR_NOCARD
 * from then on, also after a replug. */
tarnStatus TARN_CALL tarnsim_set_plugged(int32_t interface_index, int32_t plugged);
/* Sends a frame as a foreign node on a bus at the given bit rate. Channels whose nominal
 * bit rate differs receive an error frame instead. With TARN_MSG_ERROR_FRAME in flags an
 * error frame is sent. */
tarnStatus TARN_CALL tarnsim_inject(int32_t bus, int32_t id, const void* data, uint32_t dlc,
                                    uint32_t flags, int32_t bitrate);
/* Puts a channel into the bus-off state: its handles neither send nor receive until one of
 * them goes on bus again (tarnBusOn). */
tarnStatus TARN_CALL tarnsim_force_bus_off(int32_t interface_index, int32_t channel);
/* Sets a channel's transmit and receive queue capacities (frames per handle; 0 keeps the
 * current value). Limits: transmit 1..256, receive 1..1024. */
tarnStatus TARN_CALL tarnsim_set_queue_sizes(int32_t interface_index, int32_t channel,
                                             uint32_t tx_frames, uint32_t rx_frames);
/* Makes tarnGetNumberOfChannels return the status (negative), or succeed again (0). */
tarnStatus TARN_CALL tarnsim_set_startup_status(tarnStatus status);
/* Paced (1): a frame is on the wire for its bit time. Unpaced (0): frames arrive at once. */
tarnStatus TARN_CALL tarnsim_set_paced(int32_t paced);
/* Reads a bus's statistics; reset (non-zero) starts them again afterwards. */
tarnStatus TARN_CALL tarnsim_get_bus_stats(int32_t bus, tarnsim_bus_stats* stats, int32_t reset);

typedef tarnStatus(TARN_CALL* tarnsim_configure_fn)(const char*);
typedef tarnStatus(TARN_CALL* tarnsim_reset_fn)(void);
typedef tarnStatus(TARN_CALL* tarnsim_set_plugged_fn)(int32_t, int32_t);
typedef tarnStatus(TARN_CALL* tarnsim_inject_fn)(int32_t, int32_t, const void*, uint32_t,
                                                 uint32_t, int32_t);
typedef tarnStatus(TARN_CALL* tarnsim_force_bus_off_fn)(int32_t, int32_t);
typedef tarnStatus(TARN_CALL* tarnsim_set_queue_sizes_fn)(int32_t, int32_t, uint32_t, uint32_t);
typedef tarnStatus(TARN_CALL* tarnsim_set_startup_status_fn)(tarnStatus);
typedef tarnStatus(TARN_CALL* tarnsim_set_paced_fn)(int32_t);
typedef tarnStatus(TARN_CALL* tarnsim_get_bus_stats_fn)(int32_t, tarnsim_bus_stats*, int32_t);

#ifdef __cplusplus
}
#endif

#endif
