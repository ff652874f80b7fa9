// Reads an update server reply of many "request" elements and prints how long that took.
//
//   vorn-bench-updatecheck parser|check REQUESTS PIECE_BYTES
//   vorn-bench-updatecheck hostile entity|depth|requests|field
//
// parser:  through UpdateReply alone, fed in pieces of PIECE_BYTES (0: in one piece).
// check:   through the engine's real update check, against a server on 127.0.0.1:443 that
//          sends the reply in pieces of PIECE_BYTES; needs the messenger stand-in beside this
//          program.
// hostile: a reply built to exhaust the reader, fed in 1 KiB pieces until it is refused; also
//          prints the peak memory of the process.

#include "benchclock.h"
#include "messageboxprompter.h"
#include "replyserver.h"
#include "startup.h"
#include "updatereply.h"
#include "vornupdaterengine.h"

#include <QApplication>
#include <QProcessEnvironment>

#include <cstdio>

namespace {

// About 550 bytes per request, laid out as the reference server writes them.
QByteArray replyOf(int requests)
{
    QByteArray reply = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<update>\n";
    for (int i = 0; i < requests; ++i) {
        const QByteArray n = QByteArray::number(i);
        reply += "    <request project=\"vorn\" name=\"component" + n
            + "\" type=\"plugin\">\n"
              "        <version>1.2."
            + n
            + "</version>\n"
              "        <description>Plug-in "
            + n
            + "</description>\n"
              "        <copyrights>(c) Vorn</copyrights>\n"
              "        <author>Vorn team</author>\n"
              "        <webpage>https://vorn.example.org/</webpage>\n"
              "        <email>team@vorn.example.org</email>\n"
              "        <changelog>Fixes the status icon &amp; "
              "the reconnection.</changelog>\n"
              "        <link>http://127.0.0.1/plugins/component"
            + n
            + ".zip</link>\n"
              "        <critical>false</critical>\n"
              "        <timestamp>1700000000</timestamp>\n"
              "    </request>\n";
    }
    return reply + "</update>\n";
}

int viaParser(const QByteArray &reply, int piece)
{
    const double started = BenchClock::now();
    UpdateReply parsed;
    const qsizetype step = piece > 0 ? piece : reply.size();
    for (qsizetype at = 0; at < reply.size() && !parsed.isComplete(); at += step) {
        if (parsed.append(reply.mid(at, step)))
            return -1;
    }
    const qsizetype count = parsed.offers().size();
    const double finished = BenchClock::now();
    if (!parsed.isComplete())
        return -1;
    std::printf("seconds=%.4f\nupdates=%lld\nbytes=%lld\n", finished - started, qlonglong(count),
                qlonglong(reply.size()));
    return 0;
}

// Built in place: the process's peak memory is then the reply's bytes and what reading costs.
QByteArray repeated(const QByteArray &head, const QByteArray &piece, int times,
                    const QByteArray &tail)
{
    QByteArray reply;
    reply.reserve(head.size() + piece.size() * times + tail.size());
    reply += head;
    for (int i = 0; i < times; ++i)
        reply += piece;
    reply += tail;
    return reply;
}

QByteArray hostileReply(const QByteArray &kind)
{
    if (kind == "entity")
        return repeated("<!DOCTYPE update [<!ENTITY e '" + QByteArray(4000, 'x') + "'>]><update>",
                        "&e;", 100000, "</update>");
    if (kind == "depth")
        return repeated(QByteArray(), "<a>", 100000, QByteArray("</a>").repeated(100000));
    if (kind == "requests")
        return repeated("<update>", "<request/>", 1680000, "</update>");
    if (kind == "field")
        return "<update><request><changelog>" + QByteArray(1 << 20, 'x')
            + "</changelog></request></update>";
    return QByteArray();
}

int refusal(const QByteArray &reply)
{
    const double started = BenchClock::now();
    UpdateReply parsed;
    bool refused = false;
    for (qsizetype at = 0; at < reply.size() && !refused && !parsed.isComplete(); at += 1024)
        refused = parsed.append(reply.mid(at, 1024)).isFailure();
    const double finished = BenchClock::now();
    if (!refused)
        return -1;
    std::printf("seconds=%.4f\nvmhwm_kib=%lld\nbytes=%lld\n", finished - started,
                BenchClock::peakResidentKiB(), qlonglong(reply.size()));
    return 0;
}

int viaCheck(const QByteArray &reply, int piece)
{
    ReplyServer server(reply, piece);
    if (!server.listen()) {
        std::fprintf(stderr, "vorn-bench-updatecheck: cannot listen on 127.0.0.1:443\n");
        return -1;
    }
    MessageBoxPrompter prompter;
    VornUpdaterEngine engine(Startup::installationOf(QCoreApplication::arguments()),
                             Startup::settingsOf(QProcessEnvironment::systemEnvironment()),
                             prompter);
    const double started = BenchClock::now();
    const bool checked = !engine.checkUpdates().isFailure();
    const double finished = BenchClock::now();
    if (!checked)
        return -1;
    server.wait();
    std::printf("seconds=%.4f\nupdates=%lld\nbytes=%lld\nwrites=%d\n", finished - started,
                qlonglong(engine.getUpdates().size()), qlonglong(reply.size()), server.writes());
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const QByteArray mode = argc > 1 ? argv[1] : "";
    if (mode == "hostile" && argc == 3) {
        const QByteArray reply = hostileReply(argv[2]);
        if (!reply.isEmpty() && refusal(reply) == 0)
            return 0;
        std::fprintf(stderr, "vorn-bench-updatecheck: the hostile reply was not refused\n");
        return 1;
    }
    if (argc != 4) {
        std::fprintf(stderr,
                     "usage: vorn-bench-updatecheck parser|check REQUESTS PIECE_BYTES\n"
                     "       vorn-bench-updatecheck hostile entity|depth|requests|field\n");
        return 2;
    }
    const int requests = QByteArray(argv[2]).toInt();
    const int piece = QByteArray(argv[3]).toInt();
    const QByteArray reply = replyOf(requests);
    const int result = mode == "check" ? viaCheck(reply, piece) : viaParser(reply, piece);
    if (result != 0)
        std::fprintf(stderr, "vorn-bench-updatecheck: the reply was not read\n");
    return result == 0 ? 0 : 1;
}
