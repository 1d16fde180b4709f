// Resource ids shared by the resource script and the code that loads them.
#pragma once

#define IDI_APP 100                 // the application icon (16, 32, 48 pixels)
#define IDS_FIRST 101               // interface strings 101..146
#define IDS_LAST 146                // a string id; the help text below is a "Text" resource
#define IDR_HELP_TEXT 146           // "Text" resources: UTF-16LE with BOM, CR LF
#define IDR_SERVER_LIST 147
#define IDR_EXTRA_SERVER_LIST 148
#define RT_TEXT_NAME "Text"         // type name of the text resources
