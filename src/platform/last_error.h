#pragma once

// The calling thread's last-error value, where the system reports failure codes
// beside a false result (the SMTP client, sockets). Thread-local; any thread.
int GetLastErrorCode();
void SetLastErrorCode(int code);
