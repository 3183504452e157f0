/* The public header is included by C programs too: this file is compiled as C (never linked) so that
 * the build fails when something C++-only leaks out of its #ifdef __cplusplus blocks. From C11 on the
 * header checks its record layout with _Static_assert as well. */
#include "kvarolib.h"

size_t kvHeaderCheckSizes(void);
uint32_t kvHeaderCheckFirmware(const KVX1_SHMIFINFO* info);

size_t kvHeaderCheckSizes(void) {
    return sizeof(KVX1_SHMIFINFO) + sizeof(KVX1_STATE) + sizeof(BT_CHANNEL) + sizeof(KVX1_CONFIG) +
           sizeof(KVX1_INPUT) + sizeof(KVX1_OUTPUT) + sizeof(KVX1_DISPLAY) + sizeof(TRANSFER_STATUS) +
           sizeof(CHANGE_STATE) + sizeof(RP_TIMER) + sizeof(MOTOR) + sizeof(INPUT_SIM) + sizeof(HOOK_TABLE) +
           sizeof(KOLV_X1_TRANSFER) + sizeof(IF08_TRANSFER) + IF08_MAX + RESERVE_SIZE;
}

uint32_t kvHeaderCheckFirmware(const KVX1_SHMIFINFO* info) {
    return Kvx1DllVersion(info) + Kvx1FwMajor(info) + Kvx1FwMinor(info);
}
