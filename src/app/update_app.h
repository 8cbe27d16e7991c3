// The application object: start-up, the run-mode dispatch and the exit code.
#pragma once
#include <windows.h>

#include <string>

class CUpdateApp {
public:
    virtual ~CUpdateApp() = default;
    // Everything from preparing the application directory to the mode's work.
    // False ends the process through ExitInstance; true goes through Run.
    virtual BOOL InitInstance();
    // The exit code, through ExitInstance.
    virtual int Run();
    // Releases the host windows' resources and returns the exit code.
    virtual int ExitInstance();

private:
    void PrepareAppDir();
    void RunStartupHooks();
    void CheckPackageAddress();
    void TakeAppendedPackage();
    void ReportDamagedPackage(const std::wstring& mode);
    void LoadLanguages();
    void CleanCache();
    BOOL Dispatch(const std::wstring& mode);
    DWORD settingsWriteError_ = 0;  // why mirovane.ini could not be written at start-up
    std::wstring packageProblem_;   // why the package appended to the executable was not used
};

// Lets SetStage start the stage hooks through RunFile; start-up calls it first.
void RegisterStageHookRunner();
// The exit code from the download list and [APPLICATION] Ver.
int UpdateExitCode();

// Exit code of a run ended by an unexpected failure (an exception reaching the entry point):
// never a count of files, so a host does not take it for one.
constexpr int kExitUnexpectedFailure = -1;
// Runs the application object from InitInstance to the exit code. An exception that reaches
// here is written to the log as one line and gives kExitUnexpectedFailure.
int RunUpdateApp(CUpdateApp& app);

// Access for the application directory when this program creates it (SDDL): Administrators
// and SYSTEM full control, Users read and execute, inherited by everything inside, nothing
// inherited from the parent. Any user could otherwise plant a language file, mirovane.xml or
// a hook target that the elevated updater uses.
extern const wchar_t* const kAppDirSddl;
// Creates the directory and its missing parents, each one created here with kAppDirSddl;
// directories that exist already are left as they are. True when the directory exists after.
bool CreateAppDirTree(const std::wstring& dir);
// The application directory for a settings name: <drive>Brenwick\omra\<sub>\ .
std::wstring AppDirFor(const std::wstring& windowsDir, const std::wstring& subDir);
