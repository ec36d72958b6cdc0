/* j1939_listen: claims a J1939 address on a CAN channel through the library's j1939_*
 * interface and prints every message it receives, until the time is up (or for ever).
 *
 *   j1939_listen [CHANNEL [ADDRESS [BITRATE [SECONDS]]]]
 *
 * CHANNEL is the channel number on the interface (default 0), ADDRESS the source address to
 * claim (default 0x80), BITRATE in bit/s (default 250000), SECONDS how long to listen
 * (default 0: until stopped). Numbers may be decimal or 0x hexadecimal. */
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include "qzj1939lib/j1939.h"

/* An example NAME: arbitrary address capable, industry group 0, function 130. */
#define EXAMPLE_NAME_LOW 0x00000001u
#define EXAMPLE_NAME_HIGH 0x80008200u

static unsigned long argument(int argc, char** argv, int index, unsigned long fallback) {
    return argc > index ? strtoul(argv[index], NULL, 0) : fallback;
}

int main(int argc, char** argv) {
    const unsigned long channel = argument(argc, argv, 1, 0);
    const unsigned long address = argument(argc, argv, 2, 0x80);
    const unsigned long bit_rate = argument(argc, argv, 3, 250000);
    const unsigned long seconds = argument(argc, argv, 4, 0);
    if (address > 253) {
        fprintf(stderr, "j1939_listen: the address must be 0 to 253\n");
        return 2;
    }

    J1939CreateResult created = j1939_create_channel((uint32_t)channel, 0, (uint32_t)bit_rate);
    if (created.status != J1939_OK) {
        fprintf(stderr, "j1939_listen: no J1939 channel on CAN channel %lu at %lu bit/s (%d)\n",
                channel, bit_rate, (int)created.status);
        return 1;
    }
    const j1939_handle handle = created.handle;
    if (j1939_open_channel(handle) != J1939_OK ||
        j1939_claim_address(handle, (uint8_t)address, EXAMPLE_NAME_LOW, EXAMPLE_NAME_HIGH) !=
            J1939_OK) {
        fprintf(stderr, "j1939_listen: cannot open the channel or claim address 0x%02lX\n",
                address);
        j1939_destroy_channel(handle);
        return 1;
    }
    printf("channel %lu, handle %u, claiming 0x%02lX\n", channel, (unsigned)handle, address);

    uint8_t data[1785];
    const time_t end = time(NULL) + (time_t)seconds;
    int status = 0;
    int running = 1;
    while (running && (seconds == 0 || time(NULL) < end)) {
        const J1939ReadResult r = j1939_read(handle, data, sizeof data, 1000);
        switch (r.status) {
            case J1939_OK:
                printf("%10.3f  PGN %05X  %02X -> %02X  prio %u  [%u]", r.timestamp / 1e6,
                       (unsigned)r.header.pgn, r.header.src_addr, r.header.dest_addr,
                       r.header.priority, (unsigned)r.length);
                for (uint32_t i = 0; i < r.length && i < 16; ++i) {
                    printf(" %02X", data[i]);
                }
                printf(r.length > 16 ? " ...\n" : "\n");
                break;
            case J1939_TIMEOUT:
                break;
            case J1939_ADDRESS_LOST:
                printf("address 0x%02lX lost to a node with a lower NAME\n", address);
                break;
            case J1939_RX_ERROR:
                printf("%10.3f  a frame or transfer failed on reception (PGN %05X from %02X)\n",
                       r.timestamp / 1e6, (unsigned)r.header.pgn, r.header.src_addr);
                break;
            default:
                fprintf(stderr, "j1939_listen: read failed (%d)\n", (int)r.status);
                status = 1;
                running = 0;
                break;
        }
        fflush(stdout);
    }
    j1939_destroy_channel(handle);
    return status;
}
