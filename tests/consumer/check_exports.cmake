# libMySqlProcess exports the class's public member functions and
# GETCURRENTTHREADID and nothing else of its own; the host stand-in stays in its own libraries, so the real host
# libraries can replace them.
cmake_minimum_required(VERSION 3.16)

execute_process(COMMAND "${NM}" -D --defined-only -C "${LIBRARY}"
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "nm failed (${rc}): ${err}")
endif()
# Brackets (as in [abi:cxx11]) would group list elements; they matter not here.
string(REPLACE "[" "<" out "${out}")
string(REPLACE "]" ">" out "${out}")
string(REPLACE ";" "," out "${out}")
string(REPLACE "\n" ";" lines "${out}")

# The class's public member functions, those a host calls and those public
# for the binary interface only; its private members are not exported.
set(public MySqlChildProcess ~MySqlChildProcess Initialize SetLaunchOptions HX_CreateProcess WriteBuf ReadBuf RelayOutputTo
  RelayInputFrom SetRateLimit GetRateLimit SetOutputCopy GetRelayCounters Finalize CloseInput CloseOutput Wait WaitFor BeginWait GetWaitDoneFd GetPidFd Stop Terminate
  GetOutcome ReadErrBuf ReadLastErr logBufferContent GetLastErr SetPostForkParam GetPostForkParam PostFork
  WaitThreadFunction WaitThread)

set(exported)
set(unexpected)
foreach(line IN LISTS lines)
  if(line STREQUAL "")
    continue()
  endif()
  if(NOT line MATCHES "^[0-9a-fA-F]+ [A-Za-z] (.+)$")
    list(APPEND unexpected "unparsed: ${line}")
    continue()
  endif()
  set(name "${CMAKE_MATCH_1}")
  if(name STREQUAL "GETCURRENTTHREADID()")
    list(APPEND exported "${name}")
  elseif(name MATCHES "^LibMySqlProcess::MySqlChildProcess::(~?[A-Za-z_]+)\\(")
    # A member: only the public ones.
    if(CMAKE_MATCH_1 IN_LIST public)
      list(APPEND exported "${name}")
    else()
      list(APPEND unexpected "private member ${name}")
    endif()
  else()
    list(APPEND unexpected "${name}")
  endif()
endforeach()
if(unexpected)
  list(JOIN unexpected "\n  " text)
  message(FATAL_ERROR "libMySqlProcess exports symbols that are not its interface:\n  ${text}")
endif()

# And the whole interface is there.
set(required
  "GETCURRENTTHREADID()"
  "LibMySqlProcess::MySqlChildProcess::MySqlChildProcess()"
  "LibMySqlProcess::MySqlChildProcess::~MySqlChildProcess()"
  "LibMySqlProcess::MySqlChildProcess::Initialize(std::__cxx11::basic_string"
  "LibMySqlProcess::MySqlChildProcess::Initialize(std::__cxx11::basic_string<char, std::char_traits<char>, std::allocator<char> >, LibMySqlProcess::GetMySqlInfo*)"
  "LibMySqlProcess::MySqlChildProcess::SetLaunchOptions("
  "LibMySqlProcess::MySqlChildProcess::HX_CreateProcess(bool, bool, bool, bool)"
  "LibMySqlProcess::MySqlChildProcess::SetPostForkParam("
  "LibMySqlProcess::MySqlChildProcess::GetPostForkParam("
  "LibMySqlProcess::MySqlChildProcess::PostFork(void*)"
  "LibMySqlProcess::MySqlChildProcess::WriteBuf(char*, long)"
  "LibMySqlProcess::MySqlChildProcess::ReadBuf(char*, long*)"
  "LibMySqlProcess::MySqlChildProcess::RelayOutputTo(int, long long, long long*)"
  "LibMySqlProcess::MySqlChildProcess::RelayInputFrom(int, long long, long long*)"
  "LibMySqlProcess::MySqlChildProcess::SetRateLimit(long long)"
  "LibMySqlProcess::MySqlChildProcess::GetRateLimit() const"
  "LibMySqlProcess::MySqlChildProcess::SetOutputCopy(int)"
  "LibMySqlProcess::MySqlChildProcess::GetRelayCounters() const"
  "LibMySqlProcess::MySqlChildProcess::ReadErrBuf(char*, long*)"
  "LibMySqlProcess::MySqlChildProcess::ReadLastErr("
  "LibMySqlProcess::MySqlChildProcess::logBufferContent()"
  "LibMySqlProcess::MySqlChildProcess::Terminate()"
  "LibMySqlProcess::MySqlChildProcess::GetLastErr()"
  "LibMySqlProcess::MySqlChildProcess::Wait(unsigned int)"
  "LibMySqlProcess::MySqlChildProcess::BeginWait()"
  "LibMySqlProcess::MySqlChildProcess::WaitFor(int)"
  "LibMySqlProcess::MySqlChildProcess::Stop(int)"
  "LibMySqlProcess::MySqlChildProcess::GetPidFd()"
  "LibMySqlProcess::MySqlChildProcess::GetWaitDoneFd()"
  "LibMySqlProcess::MySqlChildProcess::GetOutcome() const"
  "LibMySqlProcess::MySqlChildProcess::WaitThreadFunction(void*)"
  "LibMySqlProcess::MySqlChildProcess::WaitThread()"
  "LibMySqlProcess::MySqlChildProcess::CloseInput()"
  "LibMySqlProcess::MySqlChildProcess::CloseOutput()"
  "LibMySqlProcess::MySqlChildProcess::Finalize()")
foreach(want IN LISTS required)
  set(found FALSE)
  foreach(name IN LISTS exported)
    string(FIND "${name}" "${want}" at)
    if(at EQUAL 0)
      set(found TRUE)
    endif()
  endforeach()
  if(NOT found)
    message(FATAL_ERROR "libMySqlProcess does not export ${want}")
  endif()
endforeach()
# Both Initialize overloads.
set(initializers 0)
foreach(name IN LISTS exported)
  if(name MATCHES "::Initialize\\(")
    math(EXPR initializers "${initializers} + 1")
  endif()
endforeach()
if(NOT initializers EQUAL 2)
  message(FATAL_ERROR "expected 2 Initialize overloads, found ${initializers}")
endif()

# A versioned soname, and the host libraries as dependencies, not contents.
if(OBJDUMP)
  execute_process(COMMAND "${OBJDUMP}" -p "${LIBRARY}" RESULT_VARIABLE rc OUTPUT_VARIABLE dyn)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "objdump failed (${rc})")
  endif()
  if(NOT dyn MATCHES "SONAME +libMySqlProcess\\.so\\.[0-9]+")
    message(FATAL_ERROR "libMySqlProcess has no versioned soname:\n${dyn}")
  endif()
  foreach(lib libHxLib libKoUtils)
    if(NOT dyn MATCHES "NEEDED +${lib}\\.so")
      message(FATAL_ERROR "libMySqlProcess does not depend on ${lib}:\n${dyn}")
    endif()
  endforeach()
  # Bound at load: the child that shares the agent's memory must not run the
  # dynamic linker on its way to the exec.
  # objdump shows DF_1_NOW as bit 0 of FLAGS_1.
  if(NOT dyn MATCHES "FLAGS_1 +0x[0-9a-fA-F]*[13579bdfBDF]\n")
    message(FATAL_ERROR "libMySqlProcess is not linked with -z now:\n${dyn}")
  endif()
endif()
