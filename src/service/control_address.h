#pragma once

#include <QString>

// Where a bridge's control socket is, as the bridge and poskavelinctl both find it: a socket
// file in a runtime folder on Linux, a named pipe on Windows. One file per platform.
namespace control_address {

// Where the running bridge listens; empty with the reason in *why when it has no place.
QString forBridge(QString* why);

// Where poskavelinctl asks: the bridge `instance` names, or the user's own when it is empty;
// empty with the reason in *why when there is none to ask.
QString forClient(const QString& instance, QString* why);

// Whether `word` can name an instance: never an option, nor a way out of a folder.
bool isInstanceName(const QString& word);

// The usage text's line on INSTANCE.
const char* instanceHelp();

// Said after "permission denied for <address>": who may ask, when that helps.
QString accessHint(const QString& instance);

}  // namespace control_address
