#!/bin/sh
# `tarvel chat` in a real terminal, driven through tmux as a person would: a prompt, two typed
# turns answered on screen, Ctrl-C at the prompt starting a fresh line, and Ctrl-D ending the
# chat with status 0.
#   chat_terminal_test.sh TARVEL MODEL_DIR WORK_DIR
set -eu
tarvel=$1
model=$2
work=$3
rm -rf "$work"
mkdir -p "$work"
printf '%s' "{% for m in messages %}{{ m['role'] + ': ' + m['content'] + '\n' }}{% endfor %}{% if add_generation_prompt %}{{ 'assistant:' }}{% endif %}" \
  >"$work/template.jinja"
socket="tarvel-chat-test-$$"
tmux -L "$socket" -f /dev/null new-session -d -x 160 -y 50 \
  "'$tarvel' chat --model '$model' --chat-template '$work/template.jinja' --max-tokens 8; echo CHAT-ENDED \$?; sleep 60"
trap 'tmux -L "$socket" kill-server 2>/dev/null || true' EXIT

screen() { tmux -L "$socket" capture-pane -p; }
# Waits (at most 30 s) until the screen has at least $2 lines matching $1.
wait_for() {
  tries=0
  while [ "$(screen | grep -c -- "$1" || true)" -lt "$2" ]; do
    tries=$((tries + 1))
    if [ "$tries" -gt 300 ]; then
      echo "timed out waiting for $2 line(s) matching '$1'; the screen:"
      screen
      exit 1
    fi
    sleep 0.1
  done
}

wait_for '^>' 1
tmux -L "$socket" send-keys 'In the beginning' Enter
wait_for '^>' 2
tmux -L "$socket" send-keys 'And the earth' Enter
wait_for '^>' 3
tmux -L "$socket" send-keys 'never sent' C-c
wait_for '^>' 4
tmux -L "$socket" send-keys C-d
wait_for '^CHAT-ENDED 0$' 1

# Each typed turn is followed by an answer line that is not a prompt.
screen >"$work/screen.txt"
for turn in 'In the beginning' 'And the earth'; do
  answer=$(grep -A1 -- "^> $turn\$" "$work/screen.txt" | sed -n 2p)
  if [ -z "$answer" ] || [ "${answer#> }" != "$answer" ]; then
    echo "no answer after '$turn'; the screen:"
    cat "$work/screen.txt"
    exit 1
  fi
done
echo "chat in a terminal: two turns answered, Ctrl-C and Ctrl-D handled"
