/* Prints the layout of every transfer-area record as the C compiler sees it, one line per field
 * ("TYPE.FIELD OFFSET SIZE") and per record ("TYPE SIZE"), for check_layout.py to hold the Python
 * example's ctypes records against. Every field of the header is listed, reserved ones too. */
#include <stdio.h>

#include "kvarolib.h"

#define FIELD(type, field) \
    printf("%s.%s %zu %zu\n", #type, #field, offsetof(type, field), sizeof(((type*)NULL)->field))
#define SIZE(type) printf("%s %zu\n", #type, sizeof(type))

int main(void) {
    SIZE(KVX1_SHMIFINFO);
    FIELD(KVX1_SHMIFINFO, Hostname);
    FIELD(KVX1_SHMIFINFO, BtAddress);
    FIELD(KVX1_SHMIFINFO, SharedMemoryStart);
    FIELD(KVX1_SHMIFINFO, AppAreaStart);
    FIELD(KVX1_SHMIFINFO, AppAreaSize);
    FIELD(KVX1_SHMIFINFO, HwRelease);
    FIELD(KVX1_SHMIFINFO, reserved1);
    FIELD(KVX1_SHMIFINFO, FwValue);
    FIELD(KVX1_SHMIFINFO, reserved2);

    SIZE(BT_CHANNEL);
    FIELD(BT_CHANNEL, ConnState);
    FIELD(BT_CHANNEL, ListenOn);
    FIELD(BT_CHANNEL, ReadOn);
    FIELD(BT_CHANNEL, ChannelInfo);

    SIZE(KVX1_STATE);
    FIELD(KVX1_STATE, reserved1);
    FIELD(KVX1_STATE, OutputInitDone);
    FIELD(KVX1_STATE, reserved2);
    FIELD(KVX1_STATE, ConfigId);
    FIELD(KVX1_STATE, ExtState);
    FIELD(KVX1_STATE, BtChannel);
    FIELD(KVX1_STATE, reserved3);

    SIZE(KVX1_INPUT_SETTING);
    FIELD(KVX1_INPUT_SETTING, Mode);
    FIELD(KVX1_INPUT_SETTING, Digital);
    FIELD(KVX1_INPUT_SETTING, reserved);

    SIZE(KVX1_COUNTER_SETTING);
    FIELD(KVX1_COUNTER_SETTING, Mode);
    FIELD(KVX1_COUNTER_SETTING, reserved);

    SIZE(KVX1_CONFIG);
    FIELD(KVX1_CONFIG, reserved1);
    FIELD(KVX1_CONFIG, HeadValue);
    FIELD(KVX1_CONFIG, InputSetting);
    FIELD(KVX1_CONFIG, CounterSetting);
    FIELD(KVX1_CONFIG, FurtherSettings);

    SIZE(KVX1_INPUT);
    FIELD(KVX1_INPUT, InputValue);
    FIELD(KVX1_INPUT, CounterInput);
    FIELD(KVX1_INPUT, Counter);
    FIELD(KVX1_INPUT, AuxValue);
    FIELD(KVX1_INPUT, CounterResetted);
    FIELD(KVX1_INPUT, MotorExReached);
    FIELD(KVX1_INPUT, CounterResetCmdId);
    FIELD(KVX1_INPUT, MotorExCmdId);

    SIZE(KVX1_OUTPUT);
    FIELD(KVX1_OUTPUT, CounterResetCmdId);
    FIELD(KVX1_OUTPUT, OutputData);
    FIELD(KVX1_OUTPUT, MotorExCmdId);

    SIZE(KVX1_DISPLAY);
    FIELD(KVX1_DISPLAY, Message);
    FIELD(KVX1_DISPLAY, reserved);

    SIZE(TRANSFER_STATUS);
    FIELD(TRANSFER_STATUS, TransferState);
    FIELD(TRANSFER_STATUS, reserved);
    FIELD(TRANSFER_STATUS, ComError);

    SIZE(CHANGE_STATE);
    FIELD(CHANGE_STATE, OutputsSent);
    FIELD(CHANGE_STATE, InputChanged);
    FIELD(CHANGE_STATE, InputChangeMask);
    FIELD(CHANGE_STATE, CounterInputChangeMask);
    FIELD(CHANGE_STATE, CounterChangeMask);
    FIELD(CHANGE_STATE, reserved);

    SIZE(RP_TIMER);
    FIELD(RP_TIMER, Milliseconds);
    FIELD(RP_TIMER, Centiseconds);
    FIELD(RP_TIMER, Deciseconds);
    FIELD(RP_TIMER, Seconds);
    FIELD(RP_TIMER, TenSeconds);
    FIELD(RP_TIMER, Minutes);

    SIZE(MOTOR);
    FIELD(MOTOR, Data);
    SIZE(INPUT_SIM);
    FIELD(INPUT_SIM, Data);
    SIZE(HOOK_TABLE);
    FIELD(HOOK_TABLE, Data);

    SIZE(KOLV_X1_TRANSFER);
    FIELD(KOLV_X1_TRANSFER, ShmIfInfo);
    FIELD(KOLV_X1_TRANSFER, State);
    FIELD(KOLV_X1_TRANSFER, Config);
    FIELD(KOLV_X1_TRANSFER, Input);
    FIELD(KOLV_X1_TRANSFER, Output);
    FIELD(KOLV_X1_TRANSFER, Display);
    FIELD(KOLV_X1_TRANSFER, TransferStatus);
    FIELD(KOLV_X1_TRANSFER, ChangeState);
    FIELD(KOLV_X1_TRANSFER, RpTimer);
    FIELD(KOLV_X1_TRANSFER, Motor);
    FIELD(KOLV_X1_TRANSFER, InputSim);
    FIELD(KOLV_X1_TRANSFER, HookTable);
    FIELD(KOLV_X1_TRANSFER, reserved);

    SIZE(IF08_TRANSFER);
    FIELD(IF08_TRANSFER, Record);

    printf("IF08_MAX %d\n", IF08_MAX);
    printf("RESERVE_SIZE %d\n", RESERVE_SIZE);
    return 0;
}
