#include "projectdescription.h"

#include <QDebug>
#include <QDomElement>
#include <QDomNode>
#include <QXmlStreamWriter>

namespace {

const QString kTrue = QStringLiteral("true");
const QString kFalse = QStringLiteral("false");

// Only the exact lowercase word counts: "True" or "TRUE" in a document must
// not switch a flag on.
bool flagValue(const QDomElement &element, const QString &attribute)
{
    return element.attribute(attribute, kFalse) == kTrue;
}

QString flagText(bool value)
{
    return value ? kTrue : kFalse;
}

} // namespace

// ---- PluginBinary ----

bool PluginBinary::loadFromXml(const QDomElement &element)
{
    m_arch = element.tagName();
    const QString path = element.attribute(QStringLiteral("path"));
    if (path.isEmpty()) {
        qWarning().noquote() << QStringLiteral("attribute path is empty");
        return false;
    }
    m_path = path;
    m_fileName = element.attribute(QStringLiteral("file_name"));
    m_sha1 = element.attribute(QStringLiteral("sha1"));
    m_date = QDateTime::fromString(element.attribute(QStringLiteral("date")), Qt::ISODate);
    m_executeFilename = element.attribute(QStringLiteral("execute_filename"));
    m_executeParams = element.attribute(QStringLiteral("execute_params"));
    return true;
}

QString PluginBinary::fullPath() const
{
    return m_sourceDir + QLatin1Char('/') + m_path;
}

// ---- ProjectPlugin ----

ProjectPlugin::~ProjectPlugin()
{
    qDeleteAll(m_binaries);
}

void ProjectPlugin::addBinary(PluginBinary *binary)
{
    if (binary)
        m_binaries.append(binary);
}

bool ProjectPlugin::loadFromXml(const QDomElement &element)
{
    if (element.tagName() != QLatin1String("project")) {
        qWarning().noquote() << QStringLiteral("tabName must be: project");
        return false;
    }
    const QString name = element.attribute(QStringLiteral("name"));
    if (name.isEmpty()) {
        qWarning().noquote() << QStringLiteral("attribute name is empty");
        return false;
    }

    m_ruName = element.attribute(QStringLiteral("ru_name"));
    m_name = name;
    m_type = element.attribute(QStringLiteral("type"));
    m_parent = element.attribute(QStringLiteral("parent"));
    m_realPath = element.attribute(QStringLiteral("real_path"));
    m_isBase = flagValue(element, QStringLiteral("is_base"));
    m_guid = element.attribute(QStringLiteral("guid"));

    const QDomElement bin = element.firstChildElement(QStringLiteral("bin"));
    for (QDomNode node = bin.firstChild(); !node.isNull(); node = node.nextSibling()) {
        if (!node.isElement())
            continue;
        auto *binary = new PluginBinary;
        binary->setSourceDir(m_sourceDir);
        if (binary->loadFromXml(node.toElement()))
            m_binaries.append(binary);
        else
            delete binary;
    }

    const QDomElement depends = element.firstChildElement(QStringLiteral("depends"));
    for (QDomNode node = depends.firstChild(); !node.isNull(); node = node.nextSibling()) {
        if (!node.isElement())
            continue;
        const QDomElement depend = node.toElement();
        if (depend.tagName() != QLatin1String("depend"))
            continue;
        const bool necessary = flagValue(depend, QStringLiteral("is_nessesary"));
        m_depends.insert(depend.attribute(QStringLiteral("project")), necessary);
    }

    m_doNotDelete.clear();
    const QDomElement keep = element.firstChildElement(QStringLiteral("do_not_delete"));
    for (QDomNode node = keep.firstChild(); !node.isNull(); node = node.nextSibling()) {
        if (!node.isElement())
            continue;
        const QDomElement file = node.toElement();
        if (file.tagName() != QLatin1String("file"))
            continue;
        m_doNotDelete.append(file.attribute(QStringLiteral("file_name")));
    }
    return true;
}

void ProjectPlugin::writeXml(QXmlStreamWriter &writer, const QString &pathOverride,
                             const QString &fileNameOverride, bool withBinaries) const
{
    writer.writeStartElement(QStringLiteral("project"));
    writer.writeAttribute(QStringLiteral("name"), m_name);
    writer.writeAttribute(QStringLiteral("type"), m_type);
    writer.writeAttribute(QStringLiteral("real_path"), m_realPath);
    writer.writeAttribute(QStringLiteral("parent"), m_parent);
    writer.writeAttribute(QStringLiteral("ru_name"), m_ruName);
    writer.writeAttribute(QStringLiteral("is_base"), flagText(m_isBase));
    writer.writeAttribute(QStringLiteral("guid"), m_guid);

    writer.writeStartElement(QStringLiteral("bin"));
    for (const PluginBinary *binary : withBinaries ? m_binaries : QList<PluginBinary *>()) {
        writer.writeStartElement(binary->arch());
        writer.writeAttribute(QStringLiteral("path"), pathOverride.isNull() ? binary->path() : pathOverride);
        writer.writeAttribute(QStringLiteral("file_name"),
                              fileNameOverride.isNull() ? binary->fileName() : fileNameOverride);
        writer.writeAttribute(QStringLiteral("sha1"), binary->sha1());
        // An invalid date-time gives an empty text, which reads back as invalid.
        writer.writeAttribute(QStringLiteral("date"), binary->date().toString(Qt::ISODateWithMs));
        writer.writeAttribute(QStringLiteral("execute_filename"), binary->executeFilename());
        writer.writeAttribute(QStringLiteral("execute_params"), binary->executeParams());
        writer.writeEndElement();
    }
    writer.writeEndElement();

    writer.writeStartElement(QStringLiteral("depends"));
    for (auto it = m_depends.constBegin(); it != m_depends.constEnd(); ++it) {
        writer.writeStartElement(QStringLiteral("depend"));
        writer.writeAttribute(QStringLiteral("project"), it.key());
        writer.writeAttribute(QStringLiteral("is_nessesary"), flagText(it.value()));
        writer.writeEndElement();
    }
    writer.writeEndElement();

    writer.writeStartElement(QStringLiteral("do_not_delete"));
    for (const QString &file : m_doNotDelete) {
        writer.writeStartElement(QStringLiteral("file"));
        writer.writeAttribute(QStringLiteral("file_name"), file);
        writer.writeEndElement();
    }
    writer.writeEndElement();

    writer.writeEndElement(); // project
}

// ---- ProjectDescription ----

ProjectDescription::~ProjectDescription()
{
    clear();
}

bool ProjectDescription::containsDepend(const QString &name) const
{
    if (m_base && m_base->depends().contains(name))
        return true;
    for (const ProjectPluginPtr &module : m_allModules) {
        if (module->depends().contains(name))
            return true;
    }
    return false;
}

bool ProjectDescription::isNecessary(const QString &name) const
{
    if (!m_base)
        return false;
    return m_base->depends().value(name, false);
}

void ProjectDescription::addPlugin(const ProjectPluginPtr &plugin)
{
    if (!plugin)
        return;
    const QString name = plugin->name();
    if (!containsDepend(name))
        return;
    if (m_base && m_base->depends().contains(name))
        m_modules.append(plugin);
    m_allModules.insert(name, plugin);
}

void ProjectDescription::clear()
{
    // Module entries are shared: each goes away only when its last holder
    // (another description or the settings' table) lets go of it.
    m_allModules.clear();
    m_modules.clear();
    m_base.reset();
}
