#pragma once
// A log file that a stand-in (or a probe) appends to, named by an environment variable.
#include <windows.h>

#include <fstream>
#include <string>
#include <vector>

namespace testsupport {

// A log file in the temporary folder, named by an environment variable of this process (and so
// of the programs it starts); emptied when made and removed when dropped.
class LogFile {
public:
    LogFile(const wchar_t* variable, const wchar_t* name) : m_variable(variable)
    {
        wchar_t folder[MAX_PATH];
        GetTempPathW(MAX_PATH, folder);
        m_path = std::wstring(folder) + name;
        DeleteFileW(m_path.c_str());
        SetEnvironmentVariableW(m_variable, m_path.c_str());
    }
    const std::wstring& Path() const { return m_path; }
    ~LogFile()
    {
        SetEnvironmentVariableW(m_variable, nullptr);
        DeleteFileW(m_path.c_str());
    }
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    std::vector<std::string> Lines() const
    {
        std::vector<std::string> lines;
        std::ifstream file(m_path.c_str());
        for (std::string line; std::getline(file, line);)
            if (!line.empty())
                lines.push_back(line);
        return lines;
    }

private:
    const wchar_t* m_variable;
    std::wstring m_path;
};

}  // namespace testsupport
