// Numbers of the data resources, shared by the resource scripts, the program and the tools.
// Plain defines, because the resource compiler reads this file too.
#pragma once

#define MV_RES_SETTINGS 179           // RT_RCDATA: the built-in copy of mirovane.ini
#define MV_RES_LANG_SIMPLIFIED 150    // "LANGUAGE": simplified Chinese (code page 936)
#define MV_RES_LANG_TRADITIONAL 147   // "LANGUAGE": traditional Chinese (code page 950)
