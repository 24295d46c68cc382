// Waiting in tests that need the real event loop (sockets, processes, I/O threads): the loop runs
// in short slices so that handlers posted from other threads are delivered meanwhile.
#pragma once
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

// Runs the event loop until pred holds; false after ms of real time.
template <class P>
bool waitFor(P pred, int ms = 5000) {
    QElapsedTimer t;
    t.start();
    while (!pred()) {
        if (t.elapsed() > ms) return false;
        QEventLoop loop;
        QTimer::singleShot(2, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

// Runs the event loop for ms of real time.
inline void spin(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}
