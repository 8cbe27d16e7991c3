// Numbers of the data resources, shared by the resource scripts, the program and the tools.
// Plain defines, because the resource compiler reads this file too.
#pragma once

#define MV_RES_SETTINGS 179           // RT_RCDATA: the built-in copy of mirovane.ini
#define MV_RES_LANG_SIMPLIFIED 150    // "LANGUAGE": simplified Chinese (code page 936)
#define MV_RES_LANG_TRADITIONAL 147   // "LANGUAGE": traditional Chinese (code page 950)

// --- Download block view, .NET Framework download dialog and the error page
#define MV_IDB_BLOCK_PENDING 1054     // BITMAP: a block not yet downloaded
#define MV_IDB_BLOCK_DONE 1055        // BITMAP: a downloaded block
#define MV_IDD_DOWN_DOTNET 184        // DIALOG: "Install .net framework"
#define MV_IDC_DOTNET_AREA 144        //   the text area the block view replaces
#define MV_IDD_ERROR_PAGE 101         // DIALOG: the error page (HTML engine host)
#define MV_IDR_ERROR_PAGE 103         // HTML: the built-in error page
#define MV_IDD_ERROR_FALLBACK 105     // DIALOG: the built-in page's content without an HTML engine
#define MV_IDC_ERROR_TEXT 1101        //   the notice
#define MV_IDC_ERROR_RETRY 1102       //   "Retry"
#define MV_IDC_ERROR_REDOWNLOAD 1103  //   "Download the latest files again"
#define MV_IDC_ERROR_CONTACT 1104     //   the contact block
