#!/bin/bash
# Lays out a demo installation root from a build:
#   ROOT/kestraupd/   the updater (kestraupd, filerelay), config.ini, installed.json
#   ROOT/server/      a plain-folder update server: projects.xml and packs
#                     built by packwright from demo/files and the build's binaries,
#                     every document signed with the demo publisher's key
#   ROOT/publisher/   that key pair (demo.key private, demo.pub public); the
#                     demo's config.ini trusts demo.pub, so the demo runs with
#                     signatures required
# Usage: make-demo-root.sh BUILD_BIN_DIR ROOT
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/.." && pwd)
bin=$(cd "$1" && pwd)
root=$2
updater=kestraupd
sample_guid=5b0c7e52-3f8a-4d1e-9a61-2f4c8d9e7a10

rm -rf "$root"
mkdir -p "$root/$updater" "$root/server/packs" "$root/.stage" "$root/publisher"
root=$(cd "$root" && pwd)
stage=$root/.stage
key=$root/publisher/demo
"$bin/packwright" --new-key "$key" >/dev/null

pack() { # module source-folder
    "$bin/packwright" -m "$1" -f "$2" -o "$root/server/packs/$1" -k "$key.key" >/dev/null
}

# The updater's own pack: what a release of the updater installs.
# The edition's icon image goes beside the updater: shortcuts and program
# rows show it where a program has no icon the desktop can show.
icon=$src/updater/updater/core/images/$updater.png
mkdir -p "$stage/$updater"
cp "$bin/kestraupd" "$bin/filerelay" "$icon" "$stage/$updater/"
pack "$updater" "$stage/$updater"

# The sample program and its modules.
mkdir -p "$stage/sampleapp"
cp -r "$src/demo/files/sampleapp/." "$stage/sampleapp/"
cp "$bin/kestrasample" "$stage/sampleapp/"
pack sampleapp "$stage/sampleapp"
pack sampleapp_config "$src/demo/files/sampleapp_config"
pack sampleapp_reports "$src/demo/files/sampleapp_reports"
rm -rf "$stage"

now=$(date -u +%Y-%m-%dT%H:%M:%S)
cat > "$root/server/projects.xml" <<XML
<?xml version="1.0" encoding="UTF-8"?>
<root>
    <projects>
        <project name="$updater" type="project" real_path="" parent="" ru_name="Программа обновления" is_base="true" guid="ac1dba94-cd1b-402a-9679-8390a3929fa2">
            <bin>
                <x64 path="packs/$updater" file_name="update_fileinfo.xml" sha1="" date="$now" execute_filename="kestraupd" execute_params=""/>
            </bin>
            <depends/>
            <do_not_delete>
                <file file_name="config.ini"/>
                <file file_name="installed.json"/>
            </do_not_delete>
        </project>
        <project name="sampleapp" type="project" real_path="" parent="" ru_name="Регистратура (демо)" is_base="false" guid="$sample_guid">
            <bin>
                <x64 path="packs/sampleapp" file_name="update_fileinfo.xml" sha1="" date="$now" execute_filename="kestrasample" execute_params="--settings :config:/settings.ini --demo"/>
            </bin>
            <depends>
                <depend project="sampleapp_config" is_nessesary="true"/>
                <depend project="sampleapp_reports" is_nessesary="false"/>
            </depends>
            <do_not_delete>
                <file file_name="last_run.txt"/>
            </do_not_delete>
        </project>
        <project name="sampleapp_config" type="config" real_path="" parent="sampleapp" ru_name="Настройки регистратуры" is_base="false" guid="">
            <bin>
                <x64 path="packs/sampleapp_config" file_name="update_fileinfo.xml" sha1="" date="$now" execute_filename="" execute_params=""/>
            </bin>
        </project>
        <project name="sampleapp_reports" type="plugin" real_path="" parent="sampleapp" ru_name="Шаблоны отчётов" is_base="false" guid="">
            <bin>
                <x64 path="packs/sampleapp_reports" file_name="update_fileinfo.xml" sha1="" date="$now" execute_filename="" execute_params=""/>
            </bin>
        </project>
    </projects>
</root>
XML
"$bin/packwright" --sign "$root/server/projects.xml" -k "$key.key" >/dev/null

cp "$bin/kestraupd" "$bin/filerelay" "$icon" "$root/$updater/"
cat > "$root/$updater/config.ini" <<INI
[General]
update_servers_count=1
mirrors_count=0
make_backup=false

[server1]
source_path=$root/server/projects.xml
local_file_path=main.xml
metod=GET

[projects]
projects_count=1
key1=$sample_guid

[config]
version=x64
level=0

[security]
trusted_keys=$(cat "$key.pub")
require_signatures=true
INI

# The sample program is registered but not yet on disk: the first run-mode
# start installs its files before launching it.
cat > "$root/$updater/installed.json" <<JSON
{
    "programms": [
        {
            "programm_name": "sampleapp",
            "display_name": "Регистратура (демо)",
            "execute_filename": "kestrasample",
            "execute_params": "--settings :config:/settings.ini --demo",
            "type": "project",
            "plugins": [
                {
                    "plugin_name": "sampleapp_config",
                    "plugin_display_name": "Настройки регистратуры",
                    "plugin_type": "config"
                }
            ]
        }
    ]
}
JSON
echo "$root"
