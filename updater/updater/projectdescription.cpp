#include "projectdescription.h"

ProjectPlugin::~ProjectPlugin()
{
    qDeleteAll(m_binaries);
}

void ProjectPlugin::addBinary(PluginBinary *binary)
{
    m_binaries.append(binary);
}

ProjectDescription::~ProjectDescription()
{
    clear();
}

void ProjectDescription::clear()
{
    m_allModules.clear();
    m_modules.clear();
    m_base.reset();
}
