#pragma once

#include <QByteArray>
#include <QJsonDocument>
#include <QString>

#include "service/bridge_snapshot.h"

// What poskavelinctl and the metrics endpoint show of a snapshot. Each is a pure function of
// the snapshot, which holds no receipt text, so none can leak one.

// A heading, then one line per channel in aligned columns: row, terminal and its peer, DVR
// link and its address, pieces, bytes, age of the last piece, DVR failures, print failures
// and the last DVR error.
QString statusTable(const BridgeSnapshot& snapshot);

// The same, for scripts: {"status", "startTime" (Unix seconds), "channels": [...]}.
QJsonDocument statusJson(const BridgeSnapshot& snapshot);

// The Prometheus text exposition format, version 0.0.4.
QByteArray prometheusText(const BridgeSnapshot& snapshot);

// "-" for none, then "3 s", "2 min", "5 h", "12 d", whole units rounded down.
QString pieceAge(qint64 ms);
