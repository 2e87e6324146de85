#ifndef NETWORKACCESS_H
#define NETWORKACCESS_H

class QNetworkAccessManager;

// The calling thread's network access manager, created on first use. One
// manager per thread keeps HTTP connections alive between downloads (a new
// manager per file costs a new connection and TLS handshake each time).
// It keeps no cookies. It carries no proxy of its own, so every request
// follows the application proxy in force at that moment. It is destroyed in its own thread: with the
// application object for the GUI thread, at thread exit for the others.
QNetworkAccessManager *threadNetworkAccessManager();

#endif // NETWORKACCESS_H
