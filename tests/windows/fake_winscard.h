// Shared state of the stand-in winscard library: what the test wants each
// call to answer, and what each call was given.
#pragma once
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

struct FakeIoRequest {
    DWORD protocol;
    DWORD pciLength;
};

struct FakeScard {
    struct {
        LONG establish = 0, list = 0, connect = 0, status = 0, begin = 0, transmit = 0, end = 0, disconnect = 0;
    } result;
    struct {
        ULONG_PTR context = 0x1234;
        char readers[128] = {};
        DWORD readersLength = 0;
        ULONG_PTR card = 0x5678;
        DWORD activeProtocol = 2;
        DWORD state = 6;
        BYTE atr[33] = {};
        DWORD atrLength = 0;
        BYTE reply[64] = {};
        DWORD replyLength = 0;
    } out;
    struct {
        DWORD scope = 0;
        ULONG_PTR context = 0, card = 0;
        bool groupsWasNull = false;
        char reader[128] = {};
        DWORD share = 0, protocols = 0;
        FakeIoRequest sendPci = {};
        bool recvPciGiven = false;
        BYTE sent[64] = {};
        DWORD sentLength = 0;
        DWORD endDisposition = 99, disconnectDisposition = 99;
    } in;
    struct {
        int establish = 0, state = 0, status = 0;
    } calls;
};

using FakeScardStateFn = FakeScard*(WINAPI*)();
