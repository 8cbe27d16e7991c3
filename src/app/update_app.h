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
    void LoadLanguages();
    void CleanCache();
    BOOL Dispatch(const std::wstring& mode);
};

// Lets SetStage start the stage hooks through RunFile; start-up calls it first.
void RegisterStageHookRunner();
// The exit code from the download list and [APPLICATION] Ver.
int UpdateExitCode();
// The application directory for a settings name: <drive>Brenwick\omra\<sub>\ .
std::wstring AppDirFor(const std::wstring& windowsDir, const std::wstring& subDir);
