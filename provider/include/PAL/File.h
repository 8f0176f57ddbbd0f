// A file named by its absolute path (it need not exist), with its name, creation and removal.
#ifndef PAL_FILE_H
#define PAL_FILE_H

#include <string>

namespace PAL {

class File {
public:
    // Makes `fileSpec` absolute (at most 260 characters; "." and ".." resolved). When that is
    // impossible the text stays as given and one ERROR record says so. Never throws.
    explicit File(const std::string& fileSpec);
    virtual ~File();

    // 0, or -1 (EACCES), -3 (ENOENT), or the error number itself.
    virtual int remove();
    // Creates the file empty and exclusively: 0, -1 (EACCES), -3 (ENOENT), -4 (EEXIST and
    // `mustBeNew`; without it an existing file is 0 and left alone), -7 (EMFILE), or errno.
    virtual int create(bool mustBeNew);

    std::string getPath() const { return path; }
    // The last component: name and extension, without drive or directory.
    std::string getFileName() const;

private:
    std::string path;
};

} // namespace PAL

#endif // PAL_FILE_H
