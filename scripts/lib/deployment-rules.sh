# shellcheck shell=bash
# The requirement and detection rules the documents give administrators for
# Intune or Configuration Manager: which document holds their table, and the
# rows the plan makes of it. scripts/update-docs writes the rows, the test
# command checks them (tests/plan/written_once_test.sh) and evaluates them on
# Wine (tests/deploy/rules_test.sh). Source it from the project's root; then:
#   RULES_DOC             the document holding the table, between a line starting with
#                         RULES_BEGIN and one starting with RULES_END
#   rules_from_plan       the table as the plan gives it: its heading and one row per rule
#   rules_in_doc          the lines between the markers, as RULES_DOC has them; status 1 when
#                         it has no such markers

source "$(dirname "${BASH_SOURCE[0]}")/plan.sh" || return 1
RULES_DOC=docs/deploying.md
RULES_BEGIN='<!-- deployment rules'
RULES_END='<!-- end of deployment rules'

# The key as Windows' own tools show it, HKEY_LOCAL_MACHINE\SOFTWARE\...: the
# hive's top key in capitals, the rest as the plan writes it.
rules_registry_path() {
    local top=${PLAN_REGISTRATION_KEY%%\\*}
    printf 'HKEY_LOCAL_MACHINE\\%s%s\n' "${top^^}" "${PLAN_REGISTRATION_KEY#"$top"}"
}

# shellcheck disable=SC2016 # the backquotes are Markdown's
rules_from_plan() {
    local folder='`%ProgramFiles%\Corvandel`' name
    echo '| rule | type | path or key | file or value | check | operator | value |'
    echo '| --- | --- | --- | --- | --- | --- | --- |'
    printf '| requirement | registry | `%s` | `%s` | value exists | | |\n' "$(rules_registry_path)" "$PLAN_FOLDER_VALUE"
    for name in "${PLAN_COMPONENTS[@]}"; do
        printf '| requirement | file | %s | `%s` | version | greater than or equal to | `%s` |\n' \
            "$folder" "$name" "$PLAN_OUTDATED_VERSION"
        printf '| requirement | file | %s | `%s` | version | less than or equal to | `%s` |\n' \
            "$folder" "$name" "$PLAN_UPDATED_VERSION"
    done
    for name in "${PLAN_COMPONENTS[@]}"; do
        printf '| detection | file | %s | `%s` | version | greater than or equal to | `%s` |\n' \
            "$folder" "$name" "$PLAN_UPDATED_VERSION"
    done
    printf '| detection | file | %s | `%s` | exists | | |\n' "$folder" "$PLAN_NOTES"
}

rules_in_doc() {
    grep -q "^$RULES_BEGIN" "$RULES_DOC" && grep -q "^$RULES_END" "$RULES_DOC" || return 1
    sed -n "\\|^$RULES_BEGIN|,\\|^$RULES_END|p" "$RULES_DOC" | sed '1d;$d'
}
