#include "app/frmKavelin.h"

void frmKavelin::cmdConnectAll_Click() {
    for (int k = 1; k <= kChannels; ++k) {
        if (cmdConnect(k)->isEnabled()) {
            cmdConnect_Click(k);
        }
    }
}

void frmKavelin::cmdDisconnectAll_Click() {
    for (int k = 1; k <= kChannels; ++k) {
        if (cmdDisconnect(k)->isEnabled()) {
            cmdDisconnect_Click(k);
        }
    }
}
