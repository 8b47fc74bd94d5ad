// Figures of capture and send file in the running window (offscreen):
//  1. receive throughput from a pseudo-terminal with no capture, a raw capture
//     and a text capture, each with the longest event-loop stall;
//  2. send-file throughput into a pseudo-terminal whose far end reads;
//  3. the capture writer alone (no window): how far above the receive path it runs.
// Prints figures; never fails on time.
#include "../WindowBench.h"
#include "TransferUi.h"
#include "device/PortMap.h"

#include <QEventLoop>
#include <QFile>

#include <atomic>
#include <cstdio>
#include <poll.h>
#include <random>
#include <thread>

namespace {
using namespace bench;

// A mebibyte of printable text in lines of 72.
std::string TextMiB() {
    std::string data(1 << 20, 'x');
    std::mt19937 rng(1);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = i % 72 == 71 ? '\n' : static_cast<char>(' ' + rng() % 90);
    return data;
}

void Capture(TTermMain& m, const QString& dir, const char* name, int format) {
    PtyPair pty;
    serial::SetPortMapEntry("COM1", pty.path);
    if (!Connect(m, 0, 0)) {
        std::puts("capture: cannot connect");
        return;
    }
    const QString file = dir + "/capture-" + name;
    if (format >= 0) {
        TCaptureOptions o;
        o.Format = static_cast<TCaptureFormat>(format);
        m.Transfers->StartCapture(0, file, o);
    }
    const size_t total = size_t(64) << 20;
    const std::string data = TextMiB();
    qint64 stall = 0;
    const double secs = FeedChannel1(m, pty, data, total, stall, [&] {
        if (format >= 0) m.Transfers->StopCapture(0); // the last write is part of the figure
    });
    std::printf("receive with %-24s %.1f MB/s (%zu bytes in %.2f s, file %lld bytes), "
                "longest event-loop stall %lld ms\n",
                (std::string(name) + ":").c_str(), m.RxData1().size() / secs / 1e6,
                m.RxData1().size(), secs, (long long)QFile(file).size(), stall);
    m.Channel(0).ComPortBtn->click();
    m.ClearInpBtn1Click();
    QFile::remove(file);
}

void SendFile(TTermMain& m, const QString& dir) {
    PtyPair pty;
    serial::SetPortMapEntry("COM2", pty.path);
    if (!Connect(m, 1, 1)) {
        std::puts("send: cannot connect");
        return;
    }
    const size_t total = size_t(16) << 20;
    std::string data(total, '\0');
    std::mt19937 rng(4);
    for (char& c : data)
        c = static_cast<char>(rng());
    const QString file = dir + "/send.bin";
    QFile f(file);
    f.open(QIODevice::WriteOnly);
    f.write(data.data(), qint64(data.size()));
    f.close();
    std::atomic<bool> stop{false};
    std::atomic<size_t> got{0};
    std::thread reader([&] {
        char buf[65536];
        while (!stop) {
            pollfd p{pty.master, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0) continue;
            const ssize_t n = ::read(pty.master, buf, sizeof buf);
            if (n > 0) got += size_t(n);
        }
    });
    StallMeter stall;
    QElapsedTimer t;
    t.start();
    m.Transfers->StartSend(1, file, 0, 0);
    while (got < total && t.elapsed() < 120000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    const double secs = t.elapsed() / 1000.0;
    stall.Finish();
    stop = true;
    reader.join();
    std::printf("send file (16 MiB into a reading pty): %.2f MB/s (%zu bytes in %.2f s), "
                "longest event-loop stall %lld ms\n",
                got / secs / 1e6, got.load(), secs, stall.worst);
    while (m.Transfers->Sending(1))
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    m.Channel(1).ComPortBtn->click();
}
void WriterAlone(const QString& dir) {
    const std::string data = TextMiB();
    const int rounds = 256;
    for (int format = 0; format < 2; ++format) {
        const QString file = dir + "/writer.bin";
        TCaptureWriter w;
        TCaptureOptions o;
        o.Format = static_cast<TCaptureFormat>(format);
        o.Replace = true;
        w.Open(file.toStdString(), o);
        QElapsedTimer t;
        t.start();
        for (int r = 0; r < rounds; ++r)
            for (const char c : data)
                w.Rx(static_cast<std::uint8_t>(c));
        w.Close();
        const double secs = t.elapsed() / 1000.0;
        std::printf("capture writer alone, %s: %.0f MB/s (%d MiB in %.2f s)\n",
                    format ? "text lines" : "raw", rounds * double(data.size()) / secs / 1e6,
                    rounds, secs);
        QFile::remove(file);
    }
}
} // namespace

int main(int argc, char** argv) {
    WindowRun run(argc, argv);
    if (!run.Show()) return 1;
    TTermMain& main = run.Main();
    const QString only = argc > 1 ? argv[1] : QString();
    if (only.isEmpty() || only == "capture") {
        Capture(main, run.Dir(), "no capture", -1);
        Capture(main, run.Dir(), "raw capture", 0);
        Capture(main, run.Dir(), "text capture", 1);
    }
    if (only.isEmpty() || only == "send") SendFile(main, run.Dir());
    if (only.isEmpty() || only == "writer") WriterAlone(run.Dir());
    return 0;
}
