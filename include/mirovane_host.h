/*
 * mirovane_host.h - what a host program needs to follow an update run by mirovane.exe.
 *
 * How it works
 *   1. Give your main window the property "mirovane.needmsg" with the value 1974
 *      (SetPropW(hwnd, MIROVANE_PROP_NEEDMSG, (HANDLE)MIROVANE_ON)) if you want the stage,
 *      file-count, description and download-progress messages. Log lines (1975) and
 *      download progress (1978) reach the window in any case.
 *   2. Start the updater with a run mode and the decimal handle of that window, for example
 *      mirovane.exe /silence /1181370
 *   3. Handle the messages below in the window procedure. They are sent synchronously, so
 *      the texts they point to stay valid until your window procedure returns. Copy a text
 *      if you need it later.
 *   4. Optionally set "mirovane.paused" to 1974 to hold the update between its steps, and
 *      "mirovane.exitwhenwndkilled" to 1974 so that the update ends at its next step when your
 *      window is gone (the updater then starts your program again unless it is still
 *      running). Any other value (or removing the property) switches them off.
 *
 * Reading the texts
 *   The updater reserves a 2048-byte transfer buffer inside your process when it starts and
 *   copies each text there before it sends the message; wParam is the address of that buffer
 *   in YOUR address space, so it can be read directly:
 *       const wchar_t *text = (const wchar_t *)wParam;
 *   The text is UTF-16 and zero-terminated, at most 1023 characters (longer texts arrive cut).
 *   The updater's application directory is removed from log and status texts. A wParam of 0
 *   means that the updater could not reach your process: ignore the message text.
 *   The description (1977) is copied into a buffer of its own size that is released as soon as
 *   your window procedure returns.
 *
 * Properties the updater sets on your window at every stage change
 *   "mirovane.exe"     the current stage (MIROVANE_STAGE_*), read with GetPropW
 *   "updatefilecount"  the number of files to update
 */
#ifndef MIROVANE_HOST_H
#define MIROVANE_HOST_H

/* Value that switches a property on, and the number of the stage message. */
#define MIROVANE_ON 1974

/* Window messages. */
#define MIROVANE_MSG_STATUS_TEXT 1034 /* WM_USER + 10. wParam: UTF-16 status text; lParam: a number
                                         chosen by the sender (0 error line, 1 progress line,
                                         7 result line, -1 passing progress) */
#define MIROVANE_MSG_STAGE 1974       /* wParam: new stage; lParam: number of files to update */
#define MIROVANE_MSG_LOG 1975         /* wParam: UTF-16 log text (0 if not transferred); lParam: 0 */
#define MIROVANE_MSG_FILE_COUNT 1976  /* wParam: files downloaded; lParam: number of files to update */
#define MIROVANE_MSG_DESCRIPTION 1977 /* wParam: UTF-16 description of the update; lParam: 0 */
#define MIROVANE_MSG_PROGRESS 1978    /* wParam: size of the file being downloaded, in bytes;
                                         lParam: bytes of that file downloaded so far */

/* Posted to the window that owns the updater's progress window (the window whose handle was
   given on the command line) when a step of the update ends:
     MIROVANE_MSG_STEP_ENDED   wParam: 0; lParam: MIROVANE_STEP_LOCAL_CHECKED after the check
                               of the local files, MIROVANE_STEP_COPIED after the new files
                               were installed, 0 when that step did not succeed
     WM_COMMAND MIROVANE_CMD_CONTINUE  after a successful check of the local files, unless the
                               window (or one of its parents) has a check box with the id
                               MIROVANE_ID_AUTO_CONTINUE that is not checked. The update goes
                               on either way; the command only tells the window. */
#define MIROVANE_MSG_STEP_ENDED 0x470
#define MIROVANE_STEP_LOCAL_CHECKED 3
#define MIROVANE_STEP_COPIED 5
#define MIROVANE_CMD_CONTINUE 0x3024
#define MIROVANE_ID_AUTO_CONTINUE 80954

/* Window properties (UTF-16 names for GetPropW/SetPropW). */
#define MIROVANE_PROP_NEEDMSG L"mirovane.needmsg"
#define MIROVANE_PROP_STAGE L"mirovane.exe"
#define MIROVANE_PROP_FILE_COUNT L"updatefilecount"
#define MIROVANE_PROP_PAUSED L"mirovane.paused"
#define MIROVANE_PROP_EXIT_WHEN_KILLED L"mirovane.exitwhenwndkilled"

/* Size of the transfer buffer in the host process, and the longest text it carries. */
#define MIROVANE_TRANSFER_BUFFER_SIZE 2048
#define MIROVANE_MAX_TEXT_CHARS 1023

/* Stages of an update, in the order a successful update passes them. */
#define MIROVANE_STAGE_NONE 0
#define MIROVANE_STAGE_CHECK_REMOTE 1
#define MIROVANE_STAGE_CHECK_REMOTE_ERROR 2
#define MIROVANE_STAGE_CHECK_REMOTE_OK 3
#define MIROVANE_STAGE_DOWNLOAD 4
#define MIROVANE_STAGE_DOWNLOAD_ERROR 5
#define MIROVANE_STAGE_DOWNLOAD_OK 6
#define MIROVANE_STAGE_CHECK_LOCAL 7
#define MIROVANE_STAGE_CHECK_LOCAL_ERROR 8
#define MIROVANE_STAGE_CHECK_LOCAL_OK 9
#define MIROVANE_STAGE_COPY 10
#define MIROVANE_STAGE_COPY_ERROR 11
#define MIROVANE_STAGE_COPY_OK 12
#define MIROVANE_STAGE_END 13

#endif /* MIROVANE_HOST_H */
