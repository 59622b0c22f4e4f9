// The serve subcommand of kivo.
#pragma once

namespace kivo {
namespace web {

// Adds "serve" to kivo's subcommands; the program calls it before KivoMain.
void AddServeCommand();

}  // namespace web
}  // namespace kivo
