#pragma once
// Handlers of the command words; each takes the arguments that follow its word.

void do_run(int argc, wchar_t** argv);
void do_env(int argc, wchar_t** argv);
void do_testjvm(int argc, wchar_t** argv);
void do_winenv(int argc, wchar_t** argv);
void do_start(int argc, wchar_t** argv);
void do_start_continue(int argc, wchar_t** argv);
void do_stop(int argc, wchar_t** argv);
void do_restart(int argc, wchar_t** argv);
void do_kill_ancestor(int argc, wchar_t** argv);
void do_check_kill_ancestor(int argc, wchar_t** argv);
void do_install_service(int argc, wchar_t** argv);
void do_uninstall_service(int argc, wchar_t** argv);
void do_start_service(int argc, wchar_t** argv);
void do_stop_service(int argc, wchar_t** argv);
void do_service(int argc, wchar_t** argv);
void do_service_continue(int argc, wchar_t** argv);
void do_upgrade(int argc, wchar_t** argv);
void do_upgrade_continue(int argc, wchar_t** argv);
void do_check_replace_service(int argc, wchar_t** argv);
void do_replace_service(int argc, wchar_t** argv);
