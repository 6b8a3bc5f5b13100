/* A second program on the same PC/SC service: connects to a reader and
 * holds it, as another application on the user's desktop might.
 *   hold_reader READER exclusive|transaction SECONDS
 * Prints "held" once it holds the reader, then keeps it for SECONDS (or
 * until killed) and lets it go. Exit status 0 when it held the reader. */
#include <PCSC/winscard.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

int main(int argc, char** argv)
{
    if (argc != 4)
        return 2;
    const int transaction = strcmp(argv[2], "transaction") == 0;
    SCARDCONTEXT ctx;
    SCARDHANDLE card;
    DWORD active;
    if (SCardEstablishContext(SCARD_SCOPE_SYSTEM, NULL, NULL, &ctx) != SCARD_S_SUCCESS)
        return 1;
    LONG rv = SCardConnect(ctx, argv[1], transaction ? SCARD_SHARE_SHARED : SCARD_SHARE_EXCLUSIVE,
        SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &card, &active);
    if (rv != SCARD_S_SUCCESS) {
        fprintf(stderr, "connect: %s\n", pcsc_stringify_error(rv));
        return 1;
    }
    if (transaction && SCardBeginTransaction(card) != SCARD_S_SUCCESS)
        return 1;
    printf("held\n");
    fflush(stdout);
    sleep((unsigned)atoi(argv[3]));
    if (transaction)
        SCardEndTransaction(card, SCARD_LEAVE_CARD);
    SCardDisconnect(card, SCARD_LEAVE_CARD);
    SCardReleaseContext(ctx);
    return 0;
}
