// CJYX: the process-wide controller object. It is the task manager "jyx":
// it holds the program-level state (paths, version, controller address,
// page mode, the finished flag), starts and stops the feature managers,
// keeps the controller connection alive and answers the "jyx:" events of a
// graphical front end. It also offers the file, settings and YAML services
// the feature managers share. Every presentation hook (UI values, dialogs,
// titles, settings storage) does nothing in the command-line program.
//
// Threads: everything here runs on the main thread (inside the pump or from
// main), except readFile/writeFile/yamlToJson, which touch no state.
#ifndef JYX_JYX_JYX_H_
#define JYX_JYX_JYX_H_

#include <rapidjson/document.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "common/config_loader.h"
#include "common/task_manager.h"
#include "jyx/services.h"

class CJYX : public CTaskManager, public CJYXServices {
 public:
  // The single instance; it is created during static initialisation (and
  // with it the API manager, whose owner thread becomes the main thread).
  static CJYX* instance();

  // Task-manager slots.
  void onUpdate(double now) override;
  double nextDeadline(double now) override;
  void start() override;
  void stop() override;

  virtual uint32_t pageMode();
  virtual void setPageMode(uint32_t mode);
  const std::string& appPath() override;
  virtual void setAppPath(const std::string& path);
  const std::string& pathSeparator() override;
  virtual void setPathSeparator(const std::string& separator);
  virtual const std::string& version();
  virtual void setVersion(const std::string& version);
  virtual bool isFinished();
  virtual void setFinished(bool finished);
  virtual bool ipChanged();
  virtual void setIpChanged(bool changed);
  // The link-ready flag: the request tracker fails pending controller
  // requests while it is clear.
  bool wantConnected() override;
  virtual void setWantConnected(bool want);
  virtual const std::string& ip();
  virtual void setIp(const std::string& ip);
  const std::string& nameText() override;
  void setNameText(const std::string& text) override;
  virtual bool titleDirty();
  virtual void setTitleDirty(bool dirty);
  virtual bool started();
  virtual void setStarted(bool started);
  virtual double lastCheck();
  virtual void setLastCheck(double t);

  bool visibleLog() const { return visibleLog_; }
  bool visibleUart() const { return visibleUart_; }
  bool visibleGpio() const { return visibleGpio_; }
  bool visibleSpi() const { return visibleSpi_; }
  bool visibleSpiRead() const { return visibleSpiRead_; }
  bool visiblePostcode() const { return visiblePostcode_; }
  bool visiblePower() const { return visiblePower_; }
  bool visibleStringCmd() const { return visibleStringCmd_; }

  // The configuration given with "jyx:start" (an object, empty otherwise).
  rapidjson::Document& config() { return config_; }

  // Settings: the member `key` of the configuration when present (numbers
  // and bools given as text are converted), else the default.
  bool readSetting(const char* key, bool defaultValue) override;
  int readSetting(const char* key, int defaultValue) override;
  std::string readSetting(const char* key, const std::string& defaultValue) override;
  std::string readSetting(const char* key, const char* defaultValue) override;
  // Settings storage belongs to a graphical front end; no effect here.
  void writeSetting(const char* key, bool value) override {}
  void writeSetting(const char* key, int value) override {}
  void writeSetting(const char* key, const std::string& value) override {}
  void saveSettings() override {}

  // Whole file in binary mode; a leading UTF-8 byte-order mark is dropped
  // (files of 4 bytes or more). Prints "open file (<path>) FAIL." and yields
  // "" when the file cannot be opened.
  std::string readFile(const std::string& path);
  // Creates or truncates the file; a non-empty text is written after the
  // UTF-8 byte-order mark. False (and the same message) when it cannot be
  // opened or written.
  bool writeFile(const std::string& text, const std::string& path);
  // A text beginning with "http" is fetched with curl (callback gets its
  // standard output; without a callback the output is printed). Otherwise a
  // local file: read whole, callback only when it is not empty; a file that
  // does not open is asked of the host ("jyx:get_file_content").
  void getFileContent(const std::string& pathOrUrl, TextCallback callback) override;
  // Every file loaded through this object (readFile, getFileContent,
  // yamlFileToJson) must be a regular file of at most this size: a
  // directory, FIFO or device such as /dev/zero is refused with its reason
  // instead of blocking or exhausting memory. Fetched texts are capped alike.
  static constexpr size_t kMaxLoadedFileBytes = jyx::CConfigLoader::kMaxLoadedFileBytes;
  // Time-outs of a fetch over HTTP (curl --connect-timeout / --max-time), in
  // seconds; 10 and 60 unless changed. The fetch blocks the calling thread
  // at most the total time plus a few seconds, then curl is killed.
  void setFetchTimeouts(double connectSeconds, double totalSeconds);
  // Runs curl on `url` (no shell); false with *err naming the reason.
  bool fetchUrl(const std::string& url, std::string* text, std::string* err);

  // YAML to JSON with libyaml: mappings become objects, sequences arrays,
  // every scalar a JSON string. A null `value` becomes the top-level
  // collection; an array `value` gets it pushed; anything else is replaced.
  // True when the top-level collection was closed; false on a parse error,
  // an early end, a bare scalar document or nesting deeper than 256.
  static bool yamlToJson(const char* text, size_t length, rapidjson::Value* value,
                         rapidjson::Document::AllocatorType& allocator);
  static bool yamlToJson(const char* text, size_t length, rapidjson::Document* doc);
  // Reads the whole file first; false when it cannot be opened or is empty.
  bool yamlFileToJson(const std::string& path, rapidjson::Document* doc);

  // Host events; in the command-line program the host answers at once with
  // an empty record, so callbacks receive "" during the next pump.
  void download(const std::string& url, const std::string& path, const std::string& event,
                TextCallback callback) override;
  void pickFile(bool open, TextCallback callback) override;
  void getLog(TextCallback callback);
  void clearLog();
  void toClipboard(const std::string& text, TextCallback callback = nullptr) override;
  void fromClipboard(TextCallback callback);
  void hostYamlToJson(const std::string& text, TextCallback callback);
  void hostJsonToYaml(const std::string& text, TextCallback callback);

  // Presentation hooks: empty in the command-line program; dialogs never
  // answer.
  void publishValue(const std::string& event, const std::string& key,
                    const std::string& value) override {}
  void showNotice(const std::string& text) override {}
  void setStatus(const std::string& text) {}
  void showDialog(AnswerCallback answer, int type, const std::string& title,
                  const std::string& text) override {}
  void showMessage(AnswerCallback answer, int type, const std::string& text,
                   const std::string& title, const std::string& confirm, const std::string& reject,
                   double sizeFactor) {}

  // The managers of the tools built on this layer (the flash tool's and the
  // FCT tool's), which jyx/ does not know by name: the front end that links
  // them hands in how to start and stop them, once, before the first
  // start(). Either function may be empty.
  struct ToolManagers {
    std::function<void()> start;
    std::function<void()> stop;
  };
  void setToolManagers(ToolManagers tools);

  // Feature-manager side (jyx_managers.cpp). start/stop run the managers'
  // start/stop in order (log, data, power, serial, then the tool managers'
  // start) and in reverse (the tool managers' stop first); connectManagers
  // disconnects, points the log and data managers at ip() and connects them
  // (blocking), setting wantConnected when the data channel is open
  // afterwards; UART forwarding and power sampling that were on before are
  // then requested again.
  void startFeatureManagers();
  void stopFeatureManagers();
  void connectManagers();
  void disconnectManagers();
  // With the data channel open and the log channel, which was open, closed
  // (the controller dropped only the log link): reconnects the log channel
  // and restores forwarding that was on. Part of the periodic connection
  // check.
  void keepLogConnected();
  bool isDataManagerConnected();
  // Gives the log and data managers ip() as host, ports unchanged, without
  // connecting.
  void setManagersHost();
  // Sets the serial manager's controller generation (1 old wiring, 2 new)
  // and returns the generation in effect.
  int setSerialGeneration(int generation);

  // The address list published with "jyx:change_ip": config "ip_list" with
  // ip() first when it is not among them.
  std::string addressListJson();

 protected:
  CJYX();

  bool onJyxFeature(CTask* task);
  bool onFlashTool(CTask* task);
  bool onFctTool(CTask* task);
  bool onStart(CTask* task);
  bool onStop(CTask* task);
  bool onChangeIp(CTask* task);
  bool onConnect(CTask* task);
  bool onDownloadProgress(CTask* task);
  bool onOldJyx(CTask* task);
  bool onSwitchList(CTask* task);
  bool onSwitchVisible(CTask* task, bool* field, const char* settingKey);
  bool onClearDeviceList(CTask* task);

 private:
  // Finishes a handled task so that a host waiting on it gets its reply.
  bool done(CTask* task);
  void connectToggle();
  void publishAddressList();
  void putIpFirstInList();
  void sendHostEvent(const char* name, const std::string& payload, TextCallback callback);

  uint32_t pageMode_ = 0;
  std::string appPath_;
  std::string pathSeparator_;
  std::string version_ = "v.2025.08.11";
  bool finished_ = false;
  bool ipChanged_ = false;
  bool wantConnected_ = false;
  // The log channel opened with the data channel; a log link that drops
  // later is reconnected (one that never opened is not retried).
  bool logLinkWanted_ = false;
  ToolManagers toolManagers_;
  std::string ip_ = "127.0.0.1";
  std::string nameText_;
  bool titleDirty_ = false;
  bool started_ = false;
  rapidjson::Document config_;
  double lastCheck_ = 0;
  jyx::CConfigLoader loader_;
  bool visibleLog_ = true;
  bool visibleUart_ = true;
  bool visibleGpio_ = true;
  bool visibleSpi_ = true;
  bool visibleSpiRead_ = false;
  bool visiblePostcode_ = false;
  bool visiblePower_ = false;
  bool visibleStringCmd_ = false;
};

#endif  // JYX_JYX_JYX_H_
