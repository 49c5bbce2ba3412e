// The texts the system shows, exactly as the technician reads them (UTF-8 here; the
// program's own code page on the wire of a Windows console is handled by the front ends).
#pragma once

namespace cpuconfig::text {

// Main window status label during and after an upgrade.
inline constexpr const char* kConfiguring = "正在配置cpu文件。。。";
inline constexpr const char* kConfigOk = "配置cpu文件成功";
inline constexpr const char* kConfigFailed = "配制cpu文件失败"; // "配制", as the card crews know it
inline constexpr const char* kSendFailed = "发送失败";
inline constexpr const char* kNoPackage = "请确定生成了升级文件";

// Card query.
inline constexpr const char* kCommFailed = "通讯失败，请稍后重试";
inline constexpr const char* kQueryOk = "成功获取控制卡配置";
inline constexpr const char* kQueryFailed = "失败获取控制卡配置";

// Package builder and generation worker.
inline constexpr const char* kCreateFileFailed = "创建文件失败";
inline constexpr const char* kPackageWritten = "输出加密文件成功";
inline constexpr const char* kLoadOk = "状态:加载CPU文件成功";
inline constexpr const char* kLoadFailed = "状态:加载CPU文件失败";

// Configuration panel.
inline constexpr const char* kPackageNotInProgramDir = "请确保cpu文件在本程序目录下";

// Password dialog.
inline constexpr const char* kPasswordEmpty = "密码不能为空";

} // namespace cpuconfig::text
