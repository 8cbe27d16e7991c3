#!/usr/bin/env python3
"""Writes the two built-in translations, lang_chs.lan (code page 936) and lang_cht.lan
(code page 950), from the table below. Run it after changing the table and commit both the
table and the generated files:

    python3 src/resources/make_lang.py

Each row is (section, English text exactly as the program spells it, simplified Chinese,
traditional Chinese). A real line feed in a text is written as \\n in the file. A
translation keeps the placeholders of its English text, in the same order, and the parts
the program replaces after translating ("mirovane.ini", "1.0", "2.0").
"""
import pathlib
import re

HERE = pathlib.Path(__file__).resolve().parent

MAIN = "MAIN"
TRAY = "TRYICON"

TEXTS = [
    # The language file the sample settings choose.
    (MAIN, "mirovane.lan", "mirovanecn.lan", "mirovanebig.lan"),
    # Start-up and settings.
    (MAIN, "Mirovane", "Mirovane 自动更新", "Mirovane 自動更新"),
    (MAIN, "Your url of the remote xml file contains some inappropriate characters,please fix it,otherwise,may be happen some error.",
     "远程 xml 文件的网址包含不合适的字符，请修正，否则可能会出错。",
     "遠端 xml 檔案的網址包含不適當的字元，請修正，否則可能會發生錯誤。"),
    (MAIN, "can't to get [UNDATEINFO]-ListURL from mirovane.ini\nMake a sample?",
     "无法从 mirovane.ini 读取 [UNDATEINFO]-ListURL\n是否生成一个示例？",
     "無法從 mirovane.ini 讀取 [UNDATEINFO]-ListURL\n是否產生一個範例？"),
    (MAIN, "can't to get [UNDATEINFO]-ListURL from mirovane.ini",
     "无法从 mirovane.ini 读取 [UNDATEINFO]-ListURL",
     "無法從 mirovane.ini 讀取 [UNDATEINFO]-ListURL"),
    (MAIN, "Check .NET Framework %s", "检查 .NET Framework %s", "檢查 .NET Framework %s"),
    (MAIN, "Run mode [%s], host window [%lu]", "运行模式 [%s]，宿主窗口 [%lu]", "執行模式 [%s]，主程式視窗 [%lu]"),
    (MAIN, "Can't write to file\n%s\nRequest run as administrator.\nRestart program now?",
     "无法写入文件\n%s\n需要以管理员身份运行。\n现在重新启动程序吗？",
     "無法寫入檔案\n%s\n需要以系統管理員身分執行。\n現在重新啟動程式嗎？"),
    (MAIN, "Find some wrong in this update package!", "此更新包有错误！", "此更新套件有錯誤！"),
    # Session driver.
    (MAIN, "continue update as administrator", "以管理员身份继续更新", "以系統管理員身分繼續更新"),
    (MAIN, "At AppEnter mode,You must set Application in mirovane.ini file.",
     "AppEnter 模式下，必须在 mirovane.ini 文件中设置 Application。",
     "AppEnter 模式下，必須在 mirovane.ini 檔案中設定 Application。"),
    (MAIN, "found new version at the website,now to upgrade?", "网站上发现新版本，现在升级吗？", "網站上發現新版本，現在升級嗎？"),
    (MAIN, "%d updates found at the website,now to upgrade?", "网站上发现 %d 个更新，现在升级吗？", "網站上發現 %d 個更新，現在升級嗎？"),
    # Update list and remote check.
    (MAIN, "The xml file format error!", "xml 文件格式错误！", "xml 檔案格式錯誤！"),
    (MAIN, "download:", "下载：", "下載："),
    (MAIN, "Found %d files need to update...", "发现 %d 个文件需要更新...", "發現 %d 個檔案需要更新..."),
    (MAIN, "Find nothing to update.", "没有发现需要更新的内容。", "沒有發現需要更新的內容。"),
    (MAIN, "mirovane.ini -> UPDATEINFO -> ListURL can't empty",
     "mirovane.ini -> UPDATEINFO -> ListURL 不能为空", "mirovane.ini -> UPDATEINFO -> ListURL 不能為空"),
    (MAIN, "try to download the list file...", "正在尝试下载列表文件...", "正在嘗試下載清單檔案..."),
    (MAIN, "error when download the list file.", "下载列表文件时出错。", "下載清單檔案時發生錯誤。"),
    (MAIN, "the update list is taken from the update package", "更新列表取自更新包", "更新清單取自更新套件"),
    (MAIN, "The xml file [%s] holds a document type declaration and is not read",
     "XML 文件 [%s] 含有文档类型声明，不予读取", "XML 檔案 [%s] 含有文件類型宣告，不予讀取"),
    (MAIN, "The xml file [%s] cannot be read: %s", "无法读取 XML 文件 [%s]：%s", "無法讀取 XML 檔案 [%s]：%s"),
    (MAIN, "The xml file [%s] has no update, updates or mirovane root",
     "XML 文件 [%s] 没有 update、updates 或 mirovane 根元素", "XML 檔案 [%s] 沒有 update、updates 或 mirovane 根元素"),
    # Download engine.
    (MAIN, "The proxy set error!", "代理设置错误！", "代理伺服器設定錯誤！"),
    (MAIN, "Downloading to temporary directory...", "正在下载到临时目录...", "正在下載到暫存目錄..."),
    (MAIN, "Downloading error files...", "正在下载出错的文件...", "正在下載出錯的檔案..."),
    (MAIN, "Download completed %d/%d.", "下载完成 %d/%d。", "下載完成 %d/%d。"),
    (MAIN, "Error %d files,complete %d/%d", "%d 个文件出错，完成 %d/%d", "%d 個檔案出錯，完成 %d/%d"),
    (MAIN, "Downloading, complete %d/%d, total thread %d ...",
     "正在下载，完成 %d/%d，共 %d 个线程 ...", "正在下載，完成 %d/%d，共 %d 個執行緒 ..."),
    (MAIN, "%s failed (%lu): %s", "%s 失败 (%lu)：%s", "%s 失敗 (%lu)：%s"),
    (MAIN, "Body ended early at %ld: %s", "数据在 %ld 处提前结束：%s", "資料在 %ld 處提前結束：%s"),
    (MAIN, "Waiting for [%s] to end (at most %lu seconds)", "等待 [%s] 结束（最多 %lu 秒）", "等待 [%s] 結束（最多 %lu 秒）"),
    (MAIN, "Still running after %lu seconds, not waiting any longer: %s", "%lu 秒后仍在运行，不再等待：%s",
     "%lu 秒後仍在執行，不再等待：%s"),
    (MAIN, "The install lock [%s] exists and was not made by an administrator (owner or access list not ours, or access refused: %lu); nothing is installed",
     "安装锁 [%s] 已存在且不是由管理员创建（所有者或访问列表不符，或访问被拒绝：%lu）；不安装任何文件",
     "安裝鎖 [%s] 已存在且不是由系統管理員建立（擁有者或存取清單不符，或存取被拒：%lu）；不安裝任何檔案"),
    (MAIN, "Not installed, it failed its check[%s]", "未安装，未通过校验[%s]", "未安裝，未通過校驗[%s]"),
    (MAIN, "Not installed, the list does not name it[%s]", "未安装，列表中没有此文件[%s]", "未安裝，清單中沒有此檔案[%s]"),
    (MAIN, "Too slow: under %llu bytes per second for %lu seconds", "速度过慢：低于每秒 %llu 字节，持续 %lu 秒",
     "速度過慢：低於每秒 %llu 位元組，持續 %lu 秒"),
    (MAIN, "File too large (%lld bytes): %s", "文件过大 (%lld 字节)：%s", "檔案過大 (%lld 位元組)：%s"),
    (MAIN, "No Content-Length: %s", "没有 Content-Length：%s", "沒有 Content-Length：%s"),
    (MAIN, "Size query failed (%lu): %s", "查询大小失败 (%lu)：%s", "查詢大小失敗 (%lu)：%s"),
    (MAIN, "No zipped copy on the server, the file itself is fetched: %s", "服务器上没有压缩副本，下载文件本身：%s",
     "伺服器上沒有壓縮副本，下載檔案本身：%s"),
    (MAIN, "Unsafe file name[%s]", "不安全的文件名[%s]", "不安全的檔名[%s]"),
    (MAIN, "MoveFile failed (%lu): %s", "MoveFile 失败 (%lu)：%s", "MoveFile 失敗 (%lu)：%s"),
    (MAIN, "WriteFile failed (%lu): %s", "WriteFile 失败 (%lu)：%s", "WriteFile 失敗 (%lu)：%s"),
    (MAIN, "CreateThread failed (%lu): %s", "CreateThread 失败 (%lu)：%s", "CreateThread 失敗 (%lu)：%s"),
    (MAIN, "error[%s]", "出错[%s]", "錯誤[%s]"),
    (MAIN, "done[%s]", "完成[%s]", "完成[%s]"),
    (MAIN, "unzip ok[%s]", "解压成功[%s]", "解壓縮成功[%s]"),
    (MAIN, "unzip error[%s]", "解压出错[%s]", "解壓縮錯誤[%s]"),
    (MAIN, "patch applied[%s]: %s bytes", "已应用补丁[%s]：%s 字节", "已套用修補檔[%s]：%s 位元組"),
    (MAIN, "patch not used[%s]: %s", "未使用补丁[%s]：%s", "未使用修補檔[%s]：%s"),
    # Signed lists and verified files.
    (MAIN, "list [%s] refused: its signature could not be fetched (%s)",
     "更新列表 [%s] 被拒绝：无法获取其签名 (%s)", "更新清單 [%s] 被拒絕：無法取得其簽章 (%s)"),
    (MAIN, "list [%s] refused: the downloaded list could not be read (%s)",
     "更新列表 [%s] 被拒绝：无法读取下载的列表 (%s)", "更新清單 [%s] 被拒絕：無法讀取下載的清單 (%s)"),
    (MAIN, "list [%s] refused: [UPDATEINFO] ListKey is not a usable key (%s)",
     "更新列表 [%s] 被拒绝：[UPDATEINFO] ListKey 不是可用的密钥 (%s)", "更新清單 [%s] 被拒絕：[UPDATEINFO] ListKey 不是可用的金鑰 (%s)"),
    (MAIN, "list [%s] refused: its signature is malformed (%s)",
     "更新列表 [%s] 被拒绝：签名格式错误 (%s)", "更新清單 [%s] 被拒絕：簽章格式錯誤 (%s)"),
    (MAIN, "list [%s] refused: its signature does not match (%s)",
     "更新列表 [%s] 被拒绝：签名不匹配 (%s)", "更新清單 [%s] 被拒絕：簽章不相符 (%s)"),
    (MAIN, "list [%s] refused: the signature could not be checked (%s)",
     "更新列表 [%s] 被拒绝：无法验证签名 (%s)", "更新清單 [%s] 被拒絕：無法驗證簽章 (%s)"),
    (MAIN, "list [%s] refused: %s", "更新列表 [%s] 被拒绝：%s", "更新清單 [%s] 被拒絕：%s"),
    (MAIN, "sha256 of [%s] could not be computed: %s", "无法计算 [%s] 的 sha256：%s", "無法計算 [%s] 的 sha256：%s"),
    (MAIN, "sha256 mismatch [%s]: the list names %s, the download has %s",
     "sha256 不符 [%s]：列表为 %s，下载的文件为 %s", "sha256 不符 [%s]：清單為 %s，下載的檔案為 %s"),
    # Locked files and closing the host program.
    (MAIN, "Check locked file...", "正在检查被锁定的文件...", "正在檢查被鎖定的檔案..."),
    (MAIN, "Examining the %d files,total of %d...", "正在检查第 %d 个文件，共 %d 个...", "正在檢查第 %d 個檔案，共 %d 個..."),
    (MAIN, "File is locked", "文件被锁定", "檔案被鎖定"),
    (MAIN, "%d update files has %d locked", "%d 个更新文件中有 %d 个被锁定", "%d 個更新檔案中有 %d 個被鎖定"),
    (MAIN, "No locked files", "没有被锁定的文件", "沒有被鎖定的檔案"),
    (MAIN, "The main program has not closed", "主程序没有关闭", "主程式沒有關閉"),
    (MAIN, "The main program has closed", "主程序已关闭", "主程式已關閉"),
    (MAIN, "Find main program [%s] not closed, Close it now?",
     "发现主程序 [%s] 没有关闭，现在关闭它吗？", "發現主程式 [%s] 沒有關閉，現在關閉它嗎？"),
    (MAIN, "Find main program [%s] not closed, Close it now?\n%s",
     "发现主程序 [%s] 没有关闭，现在关闭它吗？\n%s", "發現主程式 [%s] 沒有關閉，現在關閉它嗎？\n%s"),
    (MAIN, "request administrator privileges to continue", "需要管理员权限才能继续", "需要系統管理員權限才能繼續"),
    (MAIN, "Can't overwrite the file,Please close it.", "无法覆盖文件，请关闭它。", "無法覆寫檔案，請關閉它。"),
    # Copy with backup.
    (MAIN, "backup file error[%s]to[%s]", "备份文件出错[%s]到[%s]", "備份檔案錯誤[%s]到[%s]"),
    (MAIN, "update file[%s]", "更新文件[%s]", "更新檔案[%s]"),
    (MAIN, "move file error[%s]to[%s]", "移动文件出错[%s]到[%s]", "移動檔案錯誤[%s]到[%s]"),
    (MAIN, "copy file error[%s]to[%s]", "复制文件出错[%s]到[%s]", "複製檔案錯誤[%s]到[%s]"),
    (MAIN, "Copying files[%d/%d]...", "正在复制文件[%d/%d]...", "正在複製檔案[%d/%d]..."),
    # Failures that end a run or refuse a file.
    (MAIN, "The saved list [%s] is larger than %lld bytes and is not read",
     "保存的列表 [%s] 大于 %lld 字节，不予读取", "儲存的清單 [%s] 大於 %lld 位元組，不予讀取"),
    (MAIN, "Unexpected failure [%s], the updater stops", "意外错误 [%s]，更新程序停止", "意外錯誤 [%s]，更新程式停止"),
    (MAIN, "Archive [%s] holds %llu items, more than %u: not read",
     "压缩包 [%s] 含有 %llu 项，超过 %u 项，不予读取", "壓縮檔 [%s] 含有 %llu 項，超過 %u 項，不予讀取"),
    (MAIN, "ConvertStringSecurityDescriptorToSecurityDescriptor failed (%lu)",
     "ConvertStringSecurityDescriptorToSecurityDescriptor 失败 (%lu)",
     "ConvertStringSecurityDescriptorToSecurityDescriptor 失敗 (%lu)"),
    # Post-update tasks.
    (MAIN, "Move file:", "移动文件：", "移動檔案："),
    (MAIN, "Kill process", "结束进程", "結束處理程序"),
    (MAIN, "Create directory", "创建目录", "建立目錄"),
    (MAIN, "Remove file", "删除文件", "刪除檔案"),
    (MAIN, "Remove path", "删除目录", "刪除目錄"),
    (MAIN, "Create shortcut[%s]...", "正在创建快捷方式[%s]...", "正在建立捷徑[%s]..."),
    (MAIN, "Write ini[%s][%s][%s]", "写入 ini[%s][%s][%s]", "寫入 ini[%s][%s][%s]"),
    (MAIN, "Empty ini[%s][%s]", "清空 ini[%s][%s]", "清空 ini[%s][%s]"),
    (MAIN, "Run file", "运行文件", "執行檔案"),
    (MAIN, "Run", "运行", "執行"),
    (MAIN, "Register file", "注册文件", "註冊檔案"),
    # Finish step and starting the host program.
    (MAIN, "Copy from temporary directory", "从临时目录复制", "從暫存目錄複製"),
    (MAIN, "Do upgrade tasks", "执行升级任务", "執行升級工作"),
    (MAIN, "Clear temp files", "清除临时文件", "清除暫存檔案"),
    (MAIN, "Update completed,done %d files", "更新完成，共 %d 个文件", "更新完成，共 %d 個檔案"),
    # Installing as one transaction, and where it may write.
    (MAIN, "Another update of this application is running", "此程序的另一个更新正在进行", "此程式的另一個更新正在進行"),
    (MAIN, "Refused a path outside the application directory", "已拒绝程序目录以外的路径", "已拒絕程式目錄以外的路徑"),
    (MAIN, "Rolling back an interrupted update", "正在回滚中断的更新", "正在復原中斷的更新"),
    (MAIN, "Finishing an interrupted update", "正在完成中断的更新", "正在完成中斷的更新"),
    (MAIN, "The update was rolled back; the installed files are unchanged",
     "更新已回滚，已安装的文件没有改变", "更新已復原，已安裝的檔案沒有改變"),
    (MAIN, "The update could not be rolled back completely; it is tried again at the next start",
     "更新未能完全回滚，下次启动时将重试", "更新未能完全復原，下次啟動時將重試"),
    (MAIN, "The update could not be installed; the installed files are unchanged",
     "无法安装更新，已安装的文件没有改变", "無法安裝更新，已安裝的檔案沒有改變"),
    (MAIN, "The new update list could not be stored; the next check compares with the old one",
     "无法保存新的更新列表，下次检查将与旧列表比较", "無法儲存新的更新清單，下次檢查將與舊清單比較"),
    (MAIN, "downloaded file missing[%s]", "下载的文件不存在[%s]", "下載的檔案不存在[%s]"),
    (MAIN, "no update list to store[%s]", "没有可保存的更新列表[%s]", "沒有可儲存的更新清單[%s]"),
    (MAIN, "update list fetched again to store it[%s]", "已重新下载要保存的更新列表[%s]", "已重新下載要儲存的更新清單[%s]"),
    (MAIN, "not a download directory[%s]", "不是下载目录[%s]", "不是下載目錄[%s]"),
    (MAIN, "Need to restart your computer", "需要重新启动计算机", "需要重新啟動電腦"),
    (MAIN, "Can't find the file that you set Application in mirovane.ini file.",
     "找不到在 mirovane.ini 文件中设置的 Application 文件。", "找不到在 mirovane.ini 檔案中設定的 Application 檔案。"),
    # .NET Framework prerequisite.
    (MAIN, "You must install .Net Framework 1.0 to run main application.",
     "运行主程序必须先安装 .Net Framework 1.0。", "執行主程式必須先安裝 .Net Framework 1.0。"),
    (MAIN, "Install NET Framework 2.0", "安装 NET Framework 2.0", "安裝 NET Framework 2.0"),
    (MAIN, "Your software will need to install NET Framework 2.0,\nPlease download it and install.",
     "您的软件需要安装 NET Framework 2.0，\n请下载并安装。", "您的軟體需要安裝 NET Framework 2.0，\n請下載並安裝。"),
    (MAIN, "NET Framework 2.0 download is complete,\nPlease install it.",
     "NET Framework 2.0 下载完成，\n请安装。", "NET Framework 2.0 下載完成，\n請安裝。"),
    (MAIN, "NET Framework 2.0 download failed,\nPlease download again.",
     "NET Framework 2.0 下载失败，\n请重新下载。", "NET Framework 2.0 下載失敗，\n請重新下載。"),
    (MAIN, "Install .net framework", "安装 .net framework", "安裝 .net framework"),
    (MAIN, "Install", "安装", "安裝"),
    (MAIN, "Download", "下载", "下載"),
    (MAIN, "Exit", "退出", "結束"),
    (MAIN, "Cancel", "取消", "取消"),
    # Remote check: log lines and the reasons they give.
    (MAIN, "%s failed (%lu)", "%s 失败 (%lu)", "%s 失敗 (%lu)"),
    (MAIN, "CopyFile [%s] failed (%lu)", "CopyFile [%s] 失败 (%lu)", "CopyFile [%s] 失敗 (%lu)"),
    (MAIN, "MoveFileEx [%s] -> [%s] failed (%lu)", "MoveFileEx [%s] -> [%s] 失败 (%lu)", "MoveFileEx [%s] -> [%s] 失敗 (%lu)"),
    (MAIN, "OpenArchive failed (%u)", "OpenArchive 失败 (%u)", "OpenArchive 失敗 (%u)"),
    (MAIN, "ExtractItem failed (%u)", "ExtractItem 失败 (%u)", "ExtractItem 失敗 (%u)"),
    (MAIN, "HTTP status %lu", "HTTP 状态 %lu", "HTTP 狀態 %lu"),
    (MAIN, "a remote check is already running in this process: this one is not started",
     "本进程中已有一个远程检查在运行：本次检查不启动", "本處理程序中已有一個遠端檢查在執行：本次檢查不啟動"),
    (MAIN, "answer of %lld bytes is over the limit of %llu", "%lld 字节的应答超过上限 %llu", "%lld 位元組的回應超過上限 %llu"),
    (MAIN, "answer over the limit of %llu bytes", "应答超过 %llu 字节的上限", "回應超過 %llu 位元組的上限"),
    (MAIN, "unpacked list over the limit of %llu bytes", "解压后的列表超过 %llu 字节的上限", "解壓後的清單超過 %llu 位元組的上限"),
    (MAIN, "file over the limit of %llu bytes", "文件超过 %llu 字节的上限", "檔案超過 %llu 位元組的上限"),
    (MAIN, "body ended after %llu of %lld bytes", "数据在 %llu / %lld 字节处结束", "資料在 %llu / %lld 位元組處結束"),
    (MAIN, "time-out before the request", "请求之前已超时", "請求之前已逾時"),
    (MAIN, "time-out while reading", "读取时超时", "讀取時逾時"),
    (MAIN, "not an http or https address", "不是 http 或 https 地址", "不是 http 或 https 位址"),
    (MAIN, "background refresh: list cache renewed", "后台刷新：列表缓存已更新", "背景重新整理：清單快取已更新"),
    (MAIN, "background refresh: list cache kept, the download failed",
     "后台刷新：下载失败，保留列表缓存", "背景重新整理：下載失敗，保留清單快取"),
    (MAIN, "checksum service [%s]: %s", "校验服务 [%s]：%s", "校驗服務 [%s]：%s"),
    (MAIN, "description cut to %zu characters", "说明已截断为 %zu 个字符", "說明已截斷為 %zu 個字元"),
    (MAIN, "list [%s] not ready within %ld seconds", "列表 [%s] 未在 %ld 秒内就绪", "清單 [%s] 未在 %ld 秒內就緒"),
    (MAIN, "list address refused (http and https only): %s", "列表地址被拒绝（只接受 http 和 https）：%s",
     "清單位址被拒絕（只接受 http 和 https）：%s"),
    (MAIN, "list fetch [%s]: %s", "获取列表 [%s]：%s", "取得清單 [%s]：%s"),
    (MAIN, "the download engine failed, trying a plain fetch", "下载引擎失败，改用普通获取", "下載引擎失敗，改用一般取得"),
    (MAIN, "the plain fetch failed, trying the download engine", "普通获取失败，改用下载引擎", "一般取得失敗，改用下載引擎"),
    (MAIN, "main list [%s] could not be merged into [%s]", "主列表 [%s] 无法合并到 [%s]", "主清單 [%s] 無法合併到 [%s]"),
    (MAIN, "merge: [%s] is not readable XML %s", "合并：[%s] 不是可读的 XML %s", "合併：[%s] 不是可讀的 XML %s"),
    (MAIN, "merge: appendChild failed", "合并：appendChild 失败", "合併：appendChild 失敗"),
    (MAIN, "merge: no top-level update element in [%s]", "合并：[%s] 中没有顶层 update 元素", "合併：[%s] 中沒有頂層 update 元素"),
    (MAIN, "merge: the merged list could not be written", "合并：无法写出合并后的列表", "合併：無法寫出合併後的清單"),
    (MAIN, "more than %zu list addresses: the rest are ignored", "列表地址多于 %zu 个：其余的被忽略",
     "清單位址多於 %zu 個：其餘的被忽略"),
    (MAIN, "no list of %zu arrived within %ld seconds", "%zu 个列表均未在 %ld 秒内到达", "%zu 個清單均未在 %ld 秒內到達"),
    (MAIN, "quick check: list read from the cache [%s]", "快速检查：从缓存读取列表 [%s]", "快速檢查：從快取讀取清單 [%s]"),
    (MAIN, "quick check: no usable cached list, downloading it", "快速检查：没有可用的缓存列表，正在下载",
     "快速檢查：沒有可用的快取清單，正在下載"),
    (MAIN, "race: [%s] is not an update list", "竞速：[%s] 不是更新列表", "競速：[%s] 不是更新清單"),
    (MAIN, "record refused (%s): %s", "记录被拒绝（%s）：%s", "記錄被拒絕（%s）：%s"),
    (MAIN, "the remote list [%s] is not a readable update list", "远程列表 [%s] 不是可读的更新列表",
     "遠端清單 [%s] 不是可讀的更新清單"),
    (MAIN, "version page [%s] names no version", "版本页 [%s] 没有给出版本", "版本頁 [%s] 沒有給出版本"),
    (MAIN, "version page [%s] not read within %ld seconds", "版本页 [%s] 未在 %ld 秒内读取", "版本頁 [%s] 未在 %ld 秒內讀取"),
    (MAIN, "version page [%s]: %s", "版本页 [%s]：%s", "版本頁 [%s]：%s"),
    (MAIN, "version page longer than %zu bytes refused", "版本页超过 %zu 字节，已拒绝", "版本頁超過 %zu 位元組，已拒絕"),
    (MAIN, "version text longer than %zu characters refused", "版本文字超过 %zu 个字符，已拒绝", "版本文字超過 %zu 個字元，已拒絕"),
    (MAIN, "version text with control characters refused", "含控制字符的版本文本被拒绝", "含控制字元的版本文字被拒絕"),
    (MAIN, "empty path", "空路径", "空路徑"),
    (MAIN, "rooted path", "根路径", "根路徑"),
    (MAIN, "drive or stream", "驱动器或数据流", "磁碟機或資料流"),
    (MAIN, "stream or bad drive", "数据流或错误的驱动器", "資料流或錯誤的磁碟機"),
    (MAIN, "network or device path", "网络或设备路径", "網路或裝置路徑"),
    (MAIN, "device name", "设备名", "裝置名稱"),
    (MAIN, "wildcard", "通配符", "萬用字元"),
    (MAIN, "control character", "控制字符", "控制字元"),
    (MAIN, "character not allowed in a file name", "文件名中不允许的字符", "檔名中不允許的字元"),
    (MAIN, ".NET Framework %s is missing; installer [%s]", ".NET Framework %s 未安装；安装程序 [%s]",
     ".NET Framework %s 未安裝；安裝程式 [%s]"),
    (MAIN, "Installer started: %s", "安装程序已启动：%s", "安裝程式已啟動：%s"),
    (MAIN, "The installer was not started: it came over an insecure connection and carries no valid signature.",
     "安装程序未启动：它来自不安全的连接，且没有有效的签名。", "安裝程式未啟動：它來自不安全的連線，且沒有有效的簽章。"),
    (MAIN, "The installer address names no file: %s", "安装程序地址没有指明文件：%s", "安裝程式位址沒有指明檔案：%s"),
    (MAIN, "The installer download was cancelled", "安装程序下载已取消", "安裝程式下載已取消"),
    (MAIN, "The host program needs .NET Framework %s: not started", "主程序需要 .NET Framework %s：未启动",
     "主程式需要 .NET Framework %s：未啟動"),
    # Error page.
    (MAIN, "Download notice", "下载提示", "下載提示"),
    (MAIN, "Loading the data file failed: this computer's network access is restricted.",
     "加载数据文件失败：本机的网络访问受到限制。", "載入資料檔案失敗：本機的網路存取受到限制。"),
    (MAIN, "Retry", "重试", "重試"),
    (MAIN, "Download the latest files again", "重新下载最新文件", "重新下載最新檔案"),
    (MAIN, "If the problem remains, please contact the support of your software's vendor.",
     "如果问题仍然存在，请联系软件供应商的客服。", "如果問題仍然存在，請聯絡軟體供應商的客服。"),
    (MAIN, "Close", "关闭", "關閉"),
    (MAIN, "The host program is missing: the error page is shown", "主程序不存在：显示错误页", "主程式不存在：顯示錯誤頁"),
    (MAIN, "Not opened, not on the product's https web site: %s", "未打开，不在产品的 https 网站上：%s",
     "未開啟，不在產品的 https 網站上：%s"),
    (MAIN, "The error page may not open %s", "错误页不可打开 %s", "錯誤頁不可開啟 %s"),
    (MAIN, "The error page could not load %s (%ld): the built-in page is shown", "错误页无法加载 %s（%ld）：显示内置页面",
     "錯誤頁無法載入 %s（%ld）：顯示內建頁面"),
    (MAIN, "The built-in error page did not load (%ld): it is shown as a plain dialog",
     "内置错误页未能加载（%ld）：改为显示普通对话框", "內建錯誤頁未能載入（%ld）：改為顯示一般對話方塊"),
    (MAIN, "The built-in error page did not load: it is shown as a plain dialog",
     "内置错误页未能加载：改为显示普通对话框", "內建錯誤頁未能載入：改為顯示一般對話方塊"),
    (MAIN, "Retry: checking for updates again", "重试：再次检查更新", "重試：再次檢查更新"),
    (MAIN, "The error page was closed, the updater ends", "错误页已关闭，更新程序结束", "錯誤頁已關閉，更新程式結束"),
    # Tray-icon window: the texts it looks up in MAIN.
    (MAIN, "Can't connection update server!", "无法连接更新服务器！", "無法連線更新伺服器！"),
    (MAIN, "Check update files", "检查更新文件", "檢查更新檔案"),
    (MAIN, "Upgrade is completed", "升级已完成", "升級已完成"),
    (MAIN, "Upgrade is abort", "升级已中止", "升級已中止"),
    (MAIN, "updater is running...", "更新程序正在运行...", "更新程式正在執行..."),
    # Tray-icon window.
    (TRAY, "Show check window", "显示检查窗口", "顯示檢查視窗"),
    (TRAY, "Update Center", "更新中心", "更新中心"),
    (TRAY, "Check again", "重新检查", "重新檢查"),
    (TRAY, "Update", "更新", "更新"),
    (TRAY, "Update after %d seconds.", "%d 秒后更新。", "%d 秒後更新。"),
    (TRAY, "Cancel", "取消", "取消"),
    (TRAY, "updater is running...", "更新程序正在运行...", "更新程式正在執行..."),
    (TRAY, "Update now", "立即更新", "立即更新"),
    (TRAY, "%s is running and will be closed for the update. Update now?",
     "%s 正在运行，更新时将被关闭。现在更新吗？", "%s 正在執行，更新時將被關閉。現在更新嗎？"),
    # The session driver, the relaunch and the uninstall.
    (MAIN, "The update continues", "更新继续", "更新繼續"),
    (MAIN, "The host window is gone, the update ends", "宿主窗口已关闭，更新结束", "主程式視窗已關閉，更新結束"),
    (MAIN, "The update is paused by the host program", "更新已被宿主程序暂停", "更新已被主程式暫停"),
    (MAIN, "The main program is running, not started again", "主程序正在运行，不再次启动", "主程式正在執行，不再次啟動"),
    (MAIN, "Start the main program", "启动主程序", "啟動主程式"),
    (MAIN, "The update could not continue as administrator; nothing was changed",
     "无法以管理员身份继续更新；没有任何改动", "無法以系統管理員身分繼續更新；沒有任何變更"),
    (MAIN, "The download list could not be saved to [%s] (%lu)", "无法将下载列表保存到 [%s] (%lu)",
     "無法將下載清單儲存到 [%s] (%lu)"),
    (MAIN, "ShellExecuteEx(runas) of [%s] failed (%lu)", "ShellExecuteEx(runas) 启动 [%s] 失败 (%lu)",
     "ShellExecuteEx(runas) 啟動 [%s] 失敗 (%lu)"),
    (MAIN, "Started as administrator [%s]", "已以管理员身份启动 [%s]", "已以系統管理員身分啟動 [%s]"),
    (MAIN, "backup file[%s]to[%s]", "备份文件[%s]到[%s]", "備份檔案[%s]到[%s]"),
    (MAIN, "removed backup[%s]", "已删除备份[%s]", "已刪除備份[%s]"),
    (MAIN, "backup in use, removed at the next start[%s]", "备份正在使用，下次启动时删除[%s]", "備份正在使用，下次啟動時刪除[%s]"),
    (MAIN, "The saved download list [%s] cannot be read; the update stops", "无法读取保存的下载列表 [%s]；更新停止",
     "無法讀取儲存的下載清單 [%s]；更新停止"),
    (MAIN, "the saved list [%s] could not be verified (%s): nothing of it is installed or run",
     "保存的列表 [%s] 无法验证 (%s)：不安装也不运行其中任何内容",
     "儲存的清單 [%s] 無法驗證 (%s)：不安裝也不執行其中任何內容"),
    (MAIN, "the saved list [%s] verified again: %d files", "保存的列表 [%s] 已重新验证：%d 个文件",
     "儲存的清單 [%s] 已重新驗證：%d 個檔案"),
    (MAIN, "the private working directory is refused (%s): the application directory serves instead",
     "专用工作目录被拒绝 (%s)：改用应用程序目录", "專用工作目錄被拒絕 (%s)：改用應用程式目錄"),
]

PLACEHOLDER = re.compile(r"%[-+ #0-9.]*l?[dsuxXc%]")
# Parts of a text that the program replaces after translating it.
KEPT = ("mirovane.ini", "1.0", "2.0")


def check(section, key, text):
    where = f"[{section}] {key!r} -> {text!r}"
    assert PLACEHOLDER.findall(key) == PLACEHOLDER.findall(text), "placeholders differ: " + where
    for part in KEPT:
        assert (part in key) <= (part in text), f"{part!r} lost: " + where
    assert "=" not in key and not key.endswith((" ", "\t")), "key cannot be written: " + where
    assert not key.startswith((";", "'", "//", "\\\\", "[")), "key reads as a comment or header: " + where


def escape(text):
    return text.replace("\t", "\\t").replace("\n", "\\n")


def render(column, title):
    lines = [f"; {title}. Generated by make_lang.py from its table: edit the table, not this file.",
             "; Each entry: the English text as the program spells it = its translation."]
    seen = set()
    for section in (MAIN, TRAY):
        lines += ["", f"[{section}]"]
        for row in TEXTS:
            if row[0] != section:
                continue
            key, text = row[1], row[column]
            assert (section, key) not in seen, f"duplicate [{section}] {key!r}"
            seen.add((section, key))
            check(section, key, text)
            lines.append(f"{escape(key)}={escape(text)}")
    return "\r\n".join(lines) + "\r\n"


def main():
    for column, name, codepage, title in ((2, "lang_chs.lan", "cp936", "Simplified Chinese"),
                                          (3, "lang_cht.lan", "cp950", "Traditional Chinese")):
        (HERE / name).write_bytes(render(column, title).encode(codepage))


if __name__ == "__main__":
    main()
