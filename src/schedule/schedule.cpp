#include "app/frmKavelin.h"

void frmKavelin::chkSchedule_Click() {
    if (chkSchedule->Value() == 1) {
        Timer1->start();
        if (scheduleArmed_) {
            Timer1_Timer();
        }
    } else {
        Timer1->stop();
    }
}

void frmKavelin::startHour_Change() {
    const int s = startHour->value();
    txtStartHour->setText(QString::number(s) + QStringLiteral(":01"));
    // Raising the minimum above the end hour moves it, which raises endHour_Change.
    endHour->setRange(s, 23);
}

void frmKavelin::endHour_Change() {
    txtEndHour->setText(QString::number(endHour->value()) + QStringLiteral(":59"));
}

void frmKavelin::Timer1_Timer() {
    if (boxesOpen_ > 0) {
        scheduleTickDue_ = true;
        return;
    }
    CheckSchedule();
}

void frmKavelin::CheckSchedule() {
    const QTime now = clock_ ? clock_() : QTime::currentTime();
    if (now.hour() == endHour->value() && now.minute() == 59) {
        qCInfo(lcSchedule, "schedule: disconnecting all channels at %s",
               qUtf8Printable(now.toString(QStringLiteral("H:mm"))));
        cmdDisconnectAll_Click();
    }
    if (now.hour() == startHour->value() && now.minute() == 1) {
        qCInfo(lcSchedule, "schedule: connecting all channels at %s",
               qUtf8Printable(now.toString(QStringLiteral("H:mm"))));
        cmdConnectAll_Click();
    }
}
