#include "app/frmKavelin.h"

void frmKavelin::ShowDvrStatus(int index, int code) {
    switch (code) {
        case 0:
            paintLabel(lbStatus(index), QStringLiteral("Not Connected"), look::kRed, look::kWhite);
            paintLabel(lbPCStatus(index), QStringLiteral("Closed"), look::kRed, look::kWhite);
            break;
        case 1:
            paintLabel(lbStatus(index), QStringLiteral("Connecting"), look::kYellow, look::kBlack);
            break;
        case 2:
            paintLabel(lbStatus(index), QStringLiteral("Connected"), look::kGreen, look::kBlack);
            break;
        default:
            break;
    }
    emit bridgeChanged();
}
