// Console-side output of a finished power run beside its saved files: the
// chart NAME.svg next to NAME and its CSV files.
#ifndef JYX_MAIN_POWER_REPORT_H_
#define JYX_MAIN_POWER_REPORT_H_

#include <cstdint>
#include <string>

class CJYXPowerManager;
class CJYXPowerMonitor;

// Writes `output` + ".svg" from the monitor's samples. A run without
// samples has no chart: a line says so and the result is true. Any other
// failure prints "power chart: <reason>" and "power chart: FAIL" and
// returns false.
bool savePowerChart(CJYXPowerMonitor* monitor, const std::string& output);

// jyx --power-report FILE: loads a saved power data file into the power
// manager's monitor, prints the monitor table of the run (every rail that
// holds samples; the data file keeps no rail names, so rails show as
// RAIL00..RAIL95 and TOTAL), and writes FILE's six CSV files and FILE.svg
// again. The data file itself is left as it is. It holds no wall-clock time
// either: the CSV time column starts at the file's modification time less
// the run's length (a line says so); every other cell is exact. False after any failure,
// whose reason was printed, followed by "powerReport: FAIL"; "powerReport:
// OK" otherwise.
bool runPowerReport(CJYXPowerManager* manager, const std::string& path);

// Writes the six CSV files of the monitor's samples beside `path` (the
// names saveData uses), each through a temporary file and a rename. Every
// file is attempted; each failure prints "powerReport: <reason>".
bool writePowerCsvFiles(CJYXPowerMonitor* monitor, const std::string& path);

#endif  // JYX_MAIN_POWER_REPORT_H_
