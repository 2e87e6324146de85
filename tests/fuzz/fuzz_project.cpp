// Project documents as an update server may send them: read into the settings' tables, grouped into mirrors, and every
// element written back in the mirror's form, which must read back to the same element.

#include "fuzzsupport.h"
#include "projectdescription.h"
#include "settings.h"

#include <QDomDocument>
#include <QXmlStreamWriter>

namespace {

const QStringList kAdmitted = {QStringLiteral("g"), QStringLiteral("11111111-1111-1111-1111-111111111111"),
                               QStringLiteral("ac1dba94-cd1b-402a-9679-8390a3929fa2")};

QStringList fields(const ProjectPlugin &p)
{
    QStringList result{p.name(), p.ruName(), p.type(), p.parent(), p.realPath(), QString::number(p.isBase()), p.guid()};
    for (const PluginBinary *b : p.binaries())
        result << b->arch() << b->path() << b->fileName() << b->sha1() << b->executeFilename()
               << b->executeParams() << QString::number(b->date().isValid() ? b->date().toMSecsSinceEpoch() : -1);
    return result;
}

void checkRoundTrip(const ProjectPlugin &original)
{
    QString text;
    QXmlStreamWriter writer(&text);
    writer.setAutoFormatting(true);
    writer.writeStartDocument();
    writer.writeStartElement(QStringLiteral("root"));
    writer.writeStartElement(QStringLiteral("projects"));
    original.writeXml(writer);
    writer.writeEndDocument(); // closes both
    QDomDocument document;
    QString error;
    if (!document.setContent(text, &error))
        fuzzFail("round trip broken: written form does not parse", error + QStringLiteral("\n") + text);
    const QDomElement element =
        document.documentElement().firstChildElement(QStringLiteral("projects")).firstChildElement();
    ProjectPlugin copy;
    if (!copy.loadFromXml(element))
        fuzzFail("round trip broken: written element rejected", text);
    if (fields(copy) != fields(original) || copy.depends() != original.depends()
        || copy.doNotDelete() != original.doNotDelete())
        fuzzFail("round trip broken: the element read back differs", text);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString path = writeScratch(QStringLiteral("project.xml"), data, size);

    Settings settings;
    settings.readProjectDocument(path, QStringLiteral("server1"), QStringLiteral("/srv/bin"), kAdmitted);
    // A second document over the first, as a later server would.
    settings.readProjectDocument(path, QStringLiteral("server2"), QString(), kAdmitted);
    settings.fillMirrors();

    for (const ProjectDescription *description : settings.programmDescriptions())
        for (const ProjectPluginPtr &module : description->allModules()) {
            description->isNecessary(module->name());
            description->containsDepend(module->name());
        }
    for (const ProjectPluginPtr &plugin : settings.allPlugins())
        checkRoundTrip(*plugin);
    return 0;
}
