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

// The windows: dialog templates, their controls, pictures and icon.
// Progress window
#define MV_DLG_PROGRESS 180
#define MV_IDC_PICTURE_FIRST 173   // picture shown for the first seconds
#define MV_IDC_PICTURE_SECOND 174  // picture shown while the work runs
#define MV_IDC_STATUS 171          // status line
#define MV_IDC_PROGRESS 181        // overall progress 0-100
#define MV_IDC_MINIMISE 186        // minimise button
#define MV_IDC_SPARE 159           // present in the template, not used
#define MV_GIF_FIRST 169           // "GIF": first animation
#define MV_GIF_SECOND 170          // "GIF": second animation
#define MV_BMP_MINIMISE 188        // minimise button, pressed and hover image

// Tray window
#define MV_DLG_TRAY 175
#define MV_BMP_POPUP 176           // pop-up background
#define MV_BMP_CLOSE 178           // close box while the mouse is on it
#define MV_ICON_APP 141            // window and tray icon
#define MV_MENU_SHOW 40096         // "Show check window"
#define MV_MENU_EXIT 40097         // "Exit"
#define MV_MENU_UPDATE 40098       // "Update now", the "Update" link as a menu item
#define MV_MENU_CHECK 40099        // "Check again"
#define MV_MENU_CANCEL 40100       // "Cancel", stops the countdown
#define MV_LINK_CLOSE 40101        // the close box's link window (the other links use the menu ids)
