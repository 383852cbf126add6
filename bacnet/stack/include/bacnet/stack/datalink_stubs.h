#pragma once
// The MS/TP and BACnet/IPv6 datalinks are not built yet: their port-switch
// entries answer "not started" so that the stack runs on BACnet/IP alone.

#include <cstdint>

#include "bacnet/stack/device_record.h"

bool mstpInit(const DeviceRecord *record);
void mstpClose();
void mstpSend(uint8_t mac, const uint8_t *npdu, uint32_t length, bool expectingReply);
void mstpWork(uint32_t elapsedMs);
bool bipv6Init(const DeviceRecord *record);
void bipv6Close();
void bipv6Send(const uint8_t *mac, uint32_t length, const uint8_t *npdu);
void bipv6Poll();
