/* Files and folders by path on the host folder the machine maps: folders
   made and removed, attributes, moves that do not replace unless asked,
   copies, deletes, the search of a folder by a pattern, full and
   temporary paths, each failure with its documented code. */
#include "families.h"

typedef struct {
    DWORD Attributes;
    FileTime Creation, LastAccess, LastWrite;
    DWORD SizeHigh, SizeLow, Reserved0, Reserved1;
    char FileName[260];
    char AlternateFileName[14];
} FindData;

IMPORT BOOL WINAPI CreateDirectoryA(const char* path, void* security);
IMPORT BOOL WINAPI RemoveDirectoryA(const char* path);
IMPORT BOOL WINAPI CreateDirectoryW(const wchar_t* path, void* security);
IMPORT DWORD WINAPI GetFileAttributesA(const char* path);
IMPORT DWORD WINAPI GetFileAttributesW(const wchar_t* path);
IMPORT BOOL WINAPI SetFileAttributesA(const char* path, DWORD attributes);
IMPORT BOOL WINAPI MoveFileA(const char* from, const char* to);
IMPORT BOOL WINAPI MoveFileExA(const char* from, const char* to, DWORD flags);
IMPORT BOOL WINAPI CopyFileA(const char* from, const char* to, BOOL failIfExists);
IMPORT BOOL WINAPI DeleteFileA(const char* path);
IMPORT BOOL WINAPI DeleteFileW(const wchar_t* path);
IMPORT HANDLE WINAPI FindFirstFileA(const char* pattern, FindData* data);
IMPORT BOOL WINAPI FindNextFileA(HANDLE search, FindData* data);
IMPORT BOOL WINAPI FindClose(HANDLE search);
IMPORT DWORD WINAPI GetFullPathNameA(const char* path, DWORD size, char* buffer, char** part);
IMPORT DWORD WINAPI GetCurrentDirectoryA(DWORD size, char* buffer);
IMPORT BOOL WINAPI SetCurrentDirectoryA(const char* path);
IMPORT DWORD WINAPI GetTempPathA(DWORD size, char* buffer);
IMPORT unsigned WINAPI GetTempFileNameA(const char* path, const char* prefix, unsigned unique,
                                        char* name);
IMPORT int __cdecl fputs(const char* text, void* stream);

enum { Directory = 0x10, Archive = 0x20, ReadOnly = 1, Invalid = -1 };

static void Write(const char* path, const char* text) {
    void* stream = fopen(path, "w");
    fputs(text, stream);
    fclose(stream);
}

int main(void) {
    char buffer[600], current[600];
    char* part = 0;
    FindData found;
    CHECK(CreateDirectoryA("family_files", 0));
    CHECK(!CreateDirectoryA("family_files", 0));
    CHECK_EQ(GetLastError(), 183);
    CHECK(!CreateDirectoryA("family_files\\no\\deeper", 0));
    CHECK_EQ(GetLastError(), 3);
    CHECK_EQ(GetFileAttributesA("family_files"), Directory);
    CHECK_EQ(GetFileAttributesA("family_files\\none"), (DWORD)Invalid);
    CHECK_EQ(GetLastError(), 2);
    CHECK_EQ(GetFileAttributesA("family_files\\no\\none"), (DWORD)Invalid);
    CHECK_EQ(GetLastError(), 3);

    Write("family_files\\a.txt", "alpha");
    Write("family_files\\b.TXT", "beta");
    CHECK_EQ(GetFileAttributesW(L"family_files\\a.txt"), Archive);
    /* A move does not replace an existing file unless asked. */
    CHECK(!MoveFileA("family_files\\a.txt", "family_files\\b.TXT"));
    CHECK_EQ(GetLastError(), 183);
    CHECK(CopyFileA("family_files\\a.txt", "family_files\\c.txt", 1));
    CHECK(!CopyFileA("family_files\\a.txt", "family_files\\c.txt", 1));
    CHECK_EQ(GetLastError(), 80);
    CHECK(MoveFileExA("family_files\\c.txt", "family_files\\b.TXT", 1));
    CHECK_EQ(GetFileAttributesA("family_files\\c.txt"), (DWORD)Invalid);

    /* The search matches without case, and lists each match once. */
    {
        HANDLE search = FindFirstFileA("family_files\\*.TxT", &found);
        int count = 1, sawB = 0;
        CHECK(search != (HANDLE)(DWORD_PTR)-1);
        sawB |= strcmp(found.FileName, "b.TXT") == 0;
        while (FindNextFileA(search, &found)) {
            ++count;
            sawB |= strcmp(found.FileName, "b.TXT") == 0;
            if (strcmp(found.FileName, "b.TXT") == 0) CHECK_EQ(found.SizeLow, 5);
        }
        CHECK_EQ(GetLastError(), 18);
        CHECK_EQ(count, 2);
        CHECK(sawB);
        CHECK(FindClose(search));
        CHECK(!FindClose(search));
        CHECK(FindFirstFileA("family_files\\*.none", &found) == (HANDLE)(DWORD_PTR)-1);
        CHECK_EQ(GetLastError(), 2);
        CHECK(FindFirstFileA("family_nowhere\\*", &found) == (HANDLE)(DWORD_PTR)-1);
        CHECK_EQ(GetLastError(), 3);
    }

    /* A read-only file cannot be deleted; a folder with files cannot be
       removed. */
    CHECK(SetFileAttributesA("family_files\\a.txt", ReadOnly));
    CHECK_EQ(GetFileAttributesA("family_files\\a.txt"), Archive | ReadOnly);
    CHECK(!DeleteFileA("family_files\\a.txt"));
    CHECK_EQ(GetLastError(), 5);
    CHECK(SetFileAttributesA("family_files\\a.txt", 0x80));
    CHECK(!RemoveDirectoryA("family_files"));
    CHECK_EQ(GetLastError(), 145);
    CHECK(DeleteFileA("family_files\\a.txt"));
    CHECK(DeleteFileW(L"family_files\\b.TXT"));
    CHECK(!DeleteFileA("family_files\\b.TXT"));
    CHECK_EQ(GetLastError(), 2);

    /* Full paths from the current folder, "." and ".." resolved. */
    CHECK(GetCurrentDirectoryA(sizeof current, current) > 2);
    CHECK(SetCurrentDirectoryA("family_files"));
    CHECK_EQ(GetFullPathNameA("..\\family_files\\.\\x.bin", sizeof buffer, buffer, &part),
             strlen(buffer));
    CHECK(part != 0 && strcmp(part, "x.bin") == 0);
    CHECK(buffer[1] == ':' && buffer[2] == '\\');
    CHECK_EQ(GetFullPathNameA("x.bin", 4, buffer, &part), strlen(current) + 20);
    CHECK(SetCurrentDirectoryA(".."));
    CHECK(!SetCurrentDirectoryA("family_nowhere"));
    CHECK_EQ(GetLastError(), 2);
    {
        char name[600];
        DWORD length = GetTempPathA(sizeof buffer, buffer);
        CHECK(length > 0 && buffer[length - 1] == '\\');
        CHECK_EQ(GetTempPathA(1, name), length + 1);
        unsigned number = GetTempFileNameA("family_files", "fam", 0, name);
        CHECK(number != 0);
        CHECK_EQ(GetFileAttributesA(name), Archive);
        CHECK(DeleteFileA(name));
        CHECK_EQ(GetTempFileNameA("family_files", "fam", 0x1234, name), 0x1234);
        CHECK_TEXT(name, "family_files\\fam1234.TMP");
    }
    CHECK(RemoveDirectoryA("family_files"));
    CHECK(!RemoveDirectoryA("family_files"));
    CHECK_EQ(GetLastError(), 2);
    return Finish("files");
}
