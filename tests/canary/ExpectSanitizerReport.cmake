# Runs the canary with one fault (-DCANARY=program -DFAULT=kind -DREPORT=regex) in the test run's
# environment and passes only when the process fails and its output holds the sanitizer's report.
execute_process(COMMAND ${CANARY} ${FAULT} RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(result EQUAL 0)
  message(FATAL_ERROR "fault '${FAULT}' exited 0: a sanitizer report would not fail the run\n${err}")
endif()
if(NOT "${out}${err}" MATCHES "${REPORT}")
  message(FATAL_ERROR "fault '${FAULT}' failed (${result}) without the report '${REPORT}'\n${out}${err}")
endif()
