#pragma once

// The whole program: the Qt application, the platform's message boxes, the application
// object's start-up, the session watcher and the message loop. Returns the exit code.
int RunApplication(int argc, char** argv);
