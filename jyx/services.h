// CJYXServices: what the controller object offers the feature managers
// (settings, the application paths, file and host services, presentation
// hooks, the link-ready flag). The managers receive it once, at
// construction, and never include the controller object itself, so the
// dependency runs one way: the controller object knows the managers (it
// starts and connects them), the managers know only this interface.
//
// Threads: main thread only, like the managers that call it.
#ifndef JYX_JYX_SERVICES_H_
#define JYX_JYX_SERVICES_H_

#include <functional>
#include <string>

class CJYXServices {
 public:
  using TextCallback = std::function<void(const std::string&)>;
  // Dialog answer: 1 means confirmed.
  using AnswerCallback = std::function<void(int)>;

  virtual ~CJYXServices() = default;

  // Settings: the member `key` of the configuration when present, else the
  // default. Writing belongs to a graphical front end and may do nothing.
  virtual bool readSetting(const char* key, bool defaultValue) = 0;
  virtual int readSetting(const char* key, int defaultValue) = 0;
  virtual std::string readSetting(const char* key, const std::string& defaultValue) = 0;
  virtual std::string readSetting(const char* key, const char* defaultValue) = 0;
  virtual void writeSetting(const char* key, bool value) = 0;
  virtual void writeSetting(const char* key, int value) = 0;
  virtual void writeSetting(const char* key, const std::string& value) = 0;
  virtual void saveSettings() = 0;

  virtual const std::string& appPath() = 0;
  virtual const std::string& pathSeparator() = 0;
  // The program's display name; the device-control manager prefixes it.
  virtual const std::string& nameText() = 0;
  virtual void setNameText(const std::string& text) = 0;
  // The link-ready flag: the request tracker fails pending controller
  // requests while it is clear.
  virtual bool wantConnected() = 0;

  // A local file or an "http" address; see CJYX::getFileContent.
  virtual void getFileContent(const std::string& pathOrUrl, TextCallback callback) = 0;
  virtual void download(const std::string& url, const std::string& path, const std::string& event,
                        TextCallback callback) = 0;
  virtual void pickFile(bool open, TextCallback callback) = 0;

  // Presentation hooks; a dialog may never answer.
  virtual void publishValue(const std::string& event, const std::string& key,
                            const std::string& value) = 0;
  virtual void showNotice(const std::string& text) = 0;
  virtual void toClipboard(const std::string& text, TextCallback callback = nullptr) = 0;
  virtual void showDialog(AnswerCallback answer, int type, const std::string& title,
                          const std::string& text) = 0;
};

#endif  // JYX_JYX_SERVICES_H_
