#include "replywriter.h"

#include "catalogue.h"
#include "dottedversion.h"
#include "queryparser.h"
#include "replyformat.h"
#include "replylimits.h"
#include "replysignature.h"
#include "textconversion.h"

#include <QSet>
#include <QStringBuilder>
#include <QVersionNumber>
#include <QXmlStreamWriter>

#include <algorithm>

namespace {

QByteArray bytes(QLatin1String name)
{
    return QByteArray(name.data(), name.size());
}

const QByteArray childIndent = QByteArrayLiteral("        ");
const QByteArray head
    = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<" + bytes(ReplyFormat::root) + ">\n";
const QByteArray tail = "</" + bytes(ReplyFormat::root) + ">\n";
const QByteArray requestEnd = "    </" + bytes(ReplyFormat::request) + ">\n";
const QByteArray noSuchComponent = childIndent + '<' + bytes(ReplyFormat::noSuchComponent) + "/>\n";
const QByteArray latest = childIndent + '<' + bytes(ReplyFormat::latest) + "/>\n";
// The log names this many components of a query; a longer query is summed up.
const int summarized = 16;
// Room for the log's words of a query of a few components.
const qsizetype summaryCapacity = 160;
// A reply up to this size is written whole as it is measured, and held with at most this much
// room to spare.
const qint64 wholeSize = 16 * 1024;
const qsizetype slack = 4 * 1024;
// What a reply is first given, which a reply of a few requests and its signature fit.
const qsizetype firstCapacity = 2 * 1024;

// The bytes in a buffer of their own, allocated for `capacity` in all: appending up to that
// never copies them again, and the buffer holds no more room than that.
QByteArray withCapacity(const QByteArray &bytes, qsizetype capacity)
{
    QByteArray copy;
    copy.reserve(capacity);
    copy += bytes;
    return copy;
}

// The escape of a character that an attribute value cannot carry as it is; null for others.
const char *escapeOf(char c)
{
    switch (c) {
    case '&':
        return "&amp;";
    case '<':
        return "&lt;";
    case '>':
        return "&gt;";
    case '"':
        return "&quot;";
    // Blanks other than the space would be read back as spaces.
    case '\t':
        return "&#9;";
    case '\n':
        return "&#10;";
    case '\r':
        return "&#13;";
    }
    return nullptr;
}

// Appends the bytes, escaped, a run of plain ones at a time: a call for each byte cost more
// than the rest of a short request.
template<typename Char> void appendEscaped(QByteArray &element, const Char *begin, const Char *end)
{
    const Char *run = begin;
    const auto flush = [&](const Char *upTo) {
        const qsizetype at = element.size();
        element.resize(at + (upTo - run));
        std::transform(run, upTo, element.data() + at, [](Char c) { return char(c); });
    };
    for (const Char *c = begin; c != end; ++c) {
        if (const char *escape = escapeOf(char(*c))) {
            flush(c);
            element += escape;
            run = c + 1;
        }
    }
    flush(end);
}

// The query's texts are raw (the client library escapes nothing), so each is escaped here as
// an attribute value; what XML cannot carry at all the parser has dropped already. Written by
// hand: an XML writer made for each request was among the largest costs of an exchange.
void appendAttribute(QByteArray &element, QLatin1String name, const QString &value)
{
    element += ' ';
    element += QByteArrayView(name.data(), name.size());
    element += "=\"";
    // Most values are ASCII, which needs no UTF-8 copy of its own.
    if (isAscii(value)) {
        appendEscaped(element, value.utf16(), value.utf16() + value.size());
    } else {
        const QByteArray utf8 = value.toUtf8();
        appendEscaped(element, utf8.cbegin(), utf8.cend());
    }
    element += '"';
}

void appendRequestStart(QByteArray &element, const QueriedComponent &component)
{
    element += "    <";
    element += QByteArrayView(ReplyFormat::request.data(), ReplyFormat::request.size());
    appendAttribute(element, ReplyFormat::project, component.project);
    appendAttribute(element, ReplyFormat::name, component.name);
    appendAttribute(element, ReplyFormat::type, component.type);
    element += ">\n";
}

// A component as the catalogue tells it from others.
struct ComponentKey
{
    QString project;
    QString name;
    QString type;
    bool operator==(const ComponentKey &other) const
    {
        return project == other.project && name == other.name && type == other.type;
    }
};

size_t qHash(const ComponentKey &key, size_t seed)
{
    return qHashMulti(seed, key.project, key.name, key.type);
}

// The components a query names, and their projects. The sets are made only for a second
// component: most queries name one.
class NamedComponents
{
public:
    // False when the query has named it already.
    bool add(const QueriedComponent &component)
    {
        ComponentKey key {component.project, component.name, component.type};
        if (count == 0) {
            first = std::move(key);
            count = 1;
            return true;
        }
        if (count == 1) {
            others.insert(first);
            projects.insert(first.project);
        }
        const qsizetype before = others.size();
        projects.insert(key.project);
        others.insert(std::move(key));
        if (others.size() == before)
            return false;
        ++count;
        return true;
    }
    bool names(const ComponentKey &key) const
    {
        return count == 1 ? key == first : others.contains(key);
    }
    bool namesProject(const QString &project) const
    {
        return count == 1 ? project == first.project : projects.contains(project);
    }

private:
    ComponentKey first;
    int count = 0;
    QSet<ComponentKey> others;
    QSet<QString> projects;
};

// Where a request's parts go. The reply is measured whole before a byte is sent; while it stays
// within one piece it is also written as it is measured, so that a short reply is made once. A
// longer one is made again a request at a time, into parts that share the catalogue's bytes.
struct MeasuredReply
{
    qint64 &size;
    // Null once the reply outgrows a piece.
    QByteArray &whole;
    // Kept from one request to the next, so that measuring allocates once.
    QByteArray &scratch;
    void start(const QueriedComponent &component)
    {
        scratch.resize(0);
        appendRequestStart(scratch, component);
        add(scratch);
    }
    void add(const QByteArray &part)
    {
        size += part.size();
        if (size > wholeSize)
            whole = QByteArray();
        else if (!whole.isNull())
            whole += part;
    }
};
struct RequestParts
{
    QByteArrayList &parts;
    void start(const QueriedComponent &component)
    {
        QByteArray element;
        appendRequestStart(element, component);
        parts << element;
    }
    void add(const QByteArray &part) { parts << part; }
};

QLatin1String rolloutWords(Rollout::Decision decision)
{
    switch (decision) {
    case Rollout::None:
        break;
    case Rollout::Inside:
        return QLatin1String("inside");
    case Rollout::Outside:
        return QLatin1String("outside");
    case Rollout::Halted:
        return QLatin1String("halted");
    }
    return QLatin1String("none");
}

// Gives the request that answers the component to the sink; said, when given, has the answer
// for the log appended, and counter is told the offer.
template<typename Sink>
void answer(const Catalogue &catalogue, const RolloutAudience &audience,
            const QueriedComponent &component, Sink &&sink, QString *said = nullptr,
            ReplyWriter::OfferCounter *counter = nullptr)
{
    Rollout::Decision decision = Rollout::None;
    const CatalogueEntry *entry = catalogue.offerFor(component.project, component.name,
                                                     component.type, audience, &decision);
    // A component whose entries are all staged for others is known all the same.
    const bool known = entry || decision != Rollout::None;
    if (counter && known)
        counter->offered(component.name, entry, decision);
    // Compared as the updater compares; an installed version that is no dotted number counts
    // as older than any published one.
    const QVersionNumber installed = DottedVersion::parse(component.version);
    sink.start(component);
    // The log's words for the offer: the update's version, when one is offered.
    QLatin1String offer = ReplyFormat::noSuchComponent;
    const CatalogueEntry *update = nullptr;
    if (!known) {
        sink.add(noSuchComponent);
    } else if (!entry || (!installed.isNull() && entry->version <= installed)) {
        offer = ReplyFormat::latest;
        sink.add(latest);
    } else {
        offer = QLatin1String("update ");
        update = entry;
        sink.add(entry->children);
        // Only the patch that applies to the installed version; other updaters ignore it.
        for (const CataloguePatch &patch : entry->patches) {
            if (!installed.isNull() && patch.from == installed)
                sink.add(patch.element);
        }
    }
    sink.add(requestEnd);
    if (said) {
        *said += component.project % u'/' % component.name % u'/' % component.type;
        if (!component.version.isEmpty())
            *said += u' ' % component.version;
        *said += QLatin1String(": ") % offer;
        if (update)
            *said += update->fields.value(ReplyFormat::version);
        if (decision != Rollout::None)
            *said += QLatin1String(" (rollout: ") % rolloutWords(decision) % u')';
    }
}

// Gives the full request of a component that the query does not name to the sink: there is no
// installed version to patch. said, when given, has the offer for the log appended.
template<typename Sink>
void offer(const CatalogueEntry &entry, Sink &&sink, QString *said = nullptr)
{
    sink.start(QueriedComponent {entry.project, entry.name, entry.type, QString()});
    sink.add(entry.children);
    sink.add(requestEnd);
    if (said)
        *said += entry.project % u'/' % entry.name % u'/' % entry.type
            % QLatin1String(" -: update ") % entry.fields.value(ReplyFormat::version);
}

} // namespace

ReplyWriter::ReplyWriter(const Catalogue &catalogue, const QueryParser &query,
                         int maximumComponents, bool signedReply, RolloutAudience audience,
                         OfferCounter *counter)
    : catalogue(catalogue)
    , query(query)
    , total(head.size() + tail.size())
    , signedReply(signedReply)
    , audience(std::move(audience))
    , counter(counter)
{
    this->audience.position = ReplySignature::positionIn(query.prefix());
    if (signedReply) {
        // Room for the largest signature element, until the signature is known.
        total += ReplySignature::maximumSignatureElementSize;
        hash.reset(Digest::Sha256);
    }
    // Measured whole before a byte is sent: a reply the updater would refuse is not sent at all.
    // Room for a short reply from the start: grown as it was written, it was allocated again
    // several times over.
    QByteArray whole = withCapacity(head, firstCapacity);
    QByteArray scratch;
    scratch.reserve(firstCapacity / 4);
    // Measures a request that the give function makes, and appends the log's words for it to
    // one text: a text for each answer and then their join allocated several times for each
    // exchange. False once the reply is larger than the updater takes.
    const auto measure = [&](const auto &give) {
        QString *listed = nullptr;
        if (listedCount < summarized) {
            listed = &answers;
            if (listedCount++ == 0) {
                answers.reserve(summaryCapacity);
                answers += QLatin1String("answered ");
            } else {
                answers += QLatin1String("; ");
            }
        } else {
            ++unlisted;
        }
        give(MeasuredReply {total, whole, scratch}, listed);
        return total <= ReplyLimits::maximumSize;
    };
    QueriedComponent component;
    NamedComponents named;
    qsizetype at = 0;
    while (query.nextComponent(&at, &component)) {
        if (++components > maximumComponents) {
            state = TooManyComponents;
            return;
        }
        if (!named.add(component)) {
            state = ComponentNamedTwice;
            return;
        }
        if (!measure([&](MeasuredReply &&sink, QString *said) {
                answer(catalogue, this->audience, component, sink, said, counter);
            })) {
            state = TooLarge;
            return;
        }
    }
    for (const CatalogueEntry *newest : catalogue.offers()) {
        if (!named.namesProject(newest->project)
            || named.names({newest->project, newest->name, newest->type}))
            continue;
        Rollout::Decision decision = Rollout::None;
        const CatalogueEntry *entry = catalogue.offerFor(newest->project, newest->name,
                                                         newest->type, this->audience, &decision);
        if (counter)
            counter->offered(newest->name, entry, decision);
        if (!entry)
            continue;
        offers.append(entry);
        if (components + offers.size() > ReplyLimits::maximumRequests
            || !measure([&](MeasuredReply &&sink, QString *said) { offer(*entry, sink, said); })) {
            state = TooLarge;
            return;
        }
    }
    if (!whole.isNull()) {
        // Handed out as it is; what follows the last request comes as it would, into room held
        // for it, so that the reply is never copied again. A client that does not read holds
        // little more than its reply.
        if (whole.capacity() < total || whole.capacity() - total > slack)
            whole = withCapacity(whole, total);
        parts = {whole};
        position = at;
        nextOffer = offers.size();
        if (signedReply)
            hash.add(whole.constData(), whole.size());
    }
}

QByteArray ReplyWriter::read(qsizetype bytes)
{
    QByteArray piece;
    while (piece.size() < bytes && (!parts.isEmpty() || takeNextParts())) {
        const QByteArray &part = parts.constFirst();
        const qsizetype taken = qMin(bytes - piece.size(), part.size() - partOffset);
        if (piece.isEmpty() && partOffset == 0 && taken == part.size()) {
            // Shared, not copied: a reply written whole leaves as it is.
            piece = part;
        } else {
            // A piece is allocated no larger than it can grow, so that a client that does not
            // read holds no more than that.
            if (!piece.isDetached())
                piece = withCapacity(piece, qMin<qint64>(bytes, total - written));
            piece.append(part.constData() + partOffset, taken);
        }
        partOffset += taken;
        if (partOffset == part.size()) {
            parts.removeFirst();
            partOffset = 0;
        }
    }
    written += piece.size();
    return piece;
}

bool ReplyWriter::takeNextParts()
{
    if (state != Ready || position == queryEnd)
        return false;
    QueriedComponent component;
    if (position < 0) {
        parts = {head};
        position = 0;
    } else if (query.nextComponent(&position, &component)) {
        parts.clear();
        answer(catalogue, audience, component, RequestParts {parts});
    } else if (nextOffer < offers.size()) {
        parts.clear();
        offer(*offers.at(nextOffer++), RequestParts {parts});
    } else {
        if (!signedReply) {
            parts = {tail};
        } else if (signature.isEmpty()) {
            if (pendingStatement.isEmpty()) {
                hash.add(tail.constData(), tail.size());
                const QByteArray replySha256 = hash.result().bytes();
                // The query is hashed by the same context: a context made for it cost as much
                // as hashing it.
                const QByteArray whole = query.query();
                hash.reset(Digest::Sha256);
                hash.add(whole.constData(), whole.size());
                pendingStatement = ReplySignature::statementOf(
                    ReplySignature::nonceIn(query.prefix()), hash.result().bytes(), replySha256,
                    audience.position);
            }
            return false;
        } else {
            // One buffer, handed out as it is: the last piece of a short reply allocates
            // nothing more.
            const QByteArray end = ReplySignature::signatureElement(signature, tail);
            total += end.size() - tail.size() - ReplySignature::maximumSignatureElementSize;
            parts.clear();
            parts.append(end);
        }
        position = queryEnd;
        return true;
    }
    if (signedReply) {
        for (const QByteArray &part : std::as_const(parts))
            hash.add(part.constData(), part.size());
    }
    return true;
}

QString ReplyWriter::summary() const
{
    if (answers.isEmpty())
        return QStringLiteral("answered an empty query");
    if (unlisted > 0)
        return answers + QStringLiteral("; and %1 more").arg(unlisted);
    return answers;
}

QByteArray ReplyWriter::requestChildren(const CatalogueEntry &entry)
{
    QByteArray children;
    for (const QString &field : Catalogue::fieldNames()) {
        if (!entry.fields.contains(field))
            continue;
        QByteArray line;
        QXmlStreamWriter xml(&line);
        xml.writeTextElement(field, entry.fields.value(field));
        children += childIndent + line + '\n';
    }
    return children;
}

QByteArray ReplyWriter::patchElement(const CataloguePatch &patch)
{
    QByteArray element;
    QXmlStreamWriter xml(&element);
    xml.writeEmptyElement(ReplyFormat::patch);
    for (const QString &attribute : Catalogue::patchAttributes()) {
        if (patch.attributes.contains(attribute))
            xml.writeAttribute(attribute, patch.attributes.value(attribute));
    }
    // Closes the element and ends the line.
    xml.writeEndDocument();
    return childIndent + element;
}
