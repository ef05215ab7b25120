// Help texts in the five languages, in language order: en, fr, es, de, pt.
// Generated once from the product texts; edit in place.
#include "cli_help/texts.hpp"

namespace kov::cli_help {

const Localized ROOT_ABOUT = Localized{"Create, inspect, verify and extract .kov archives",
                                       "Créer, inspecter, vérifier et extraire des archives .kov",
                                       "Crear, inspeccionar, verificar y extraer archivos .kov",
                                       "KOV-Archive erstellen, anzeigen, prüfen und entpacken",
                                       "Criar, inspecionar, verificar e extrair arquivos .kov"};

const Localized HELP_ABOUT = Localized{
    "Show help for a command", "Afficher l’aide d’une commande", "Mostrar la ayuda de un comando",
    "Hilfe für einen Befehl anzeigen", "Mostrar a ajuda de um comando"};

const Localized CREATE_ABOUT = Localized{
    "Create an archive; encryption is optional", "Créer une archive ; chiffrement facultatif",
    "Crear un archivo; cifrado opcional", "Archiv erstellen; optionale Verschlüsselung",
    "Criar um arquivo; criptografia opcional"};

const Localized KEYGEN_ABOUT =
    Localized{"Generate a secret .kovkey before creating encrypted archives",
              "Créer une clé secrète .kovkey avant les archives chiffrées",
              "Generar una clave secreta .kovkey antes de cifrar",
              "Geheimen .kovkey-Schlüssel vor der Verschlüsselung erzeugen",
              "Gerar uma chave secreta .kovkey antes de criptografar"};

const Localized LIST_ABOUT = Localized{"List paths and sizes without decrypting content",
                                       "Lister les chemins et tailles sans déchiffrer le contenu",
                                       "Listar rutas y tamaños sin descifrar el contenido",
                                       "Pfade und Größen ohne Entschlüsselung anzeigen",
                                       "Listar caminhos e tamanhos sem descriptografar o conteúdo"};

const Localized EXTRACT_ABOUT = Localized{"Extract all files or selected paths",
                                          "Extraire tous les fichiers ou les chemins sélectionnés",
                                          "Extraer todos los archivos o las rutas seleccionadas",
                                          "Alle Dateien oder ausgewählte Pfade entpacken",
                                          "Extrair todos os arquivos ou caminhos selecionados"};

const Localized TEST_ABOUT =
    Localized{"Verify integrity; encrypted archives require their credential",
              "Vérifier l'intégrité ; fournir la clé des archives chiffrées",
              "Verificar la integridad; proporcionar la clave del archivo cifrado",
              "Integrität prüfen; verschlüsselte Archive benötigen ihren Schlüssel",
              "Verificar a integridade; fornecer a chave dos arquivos criptografados"};

const Localized INFO_ABOUT =
    Localized{"Show archive metadata", "Afficher les métadonnées de l'archive",
              "Mostrar los metadatos del archivo", "Archiv-Metadaten anzeigen",
              "Mostrar os metadados do arquivo"};

const Localized USAGE_WORD = Localized{"Usage:", "Utilisation :", "Uso:", "Aufruf:", "Uso:"};

const Localized HEADING_COMMANDS =
    Localized{"Commands", "Commandes", "Comandos", "Befehle", "Comandos"};

const Localized HEADING_ARGUMENTS =
    Localized{"Arguments", "Arguments", "Argumentos", "Argumente", "Argumentos"};

const Localized HEADING_OPTIONS = Localized{"Options", "Options", "Opciones", "Optionen", "Opções"};

const Localized HELP_FLAG =
    Localized{"Print help", "Afficher l'aide", "Mostrar ayuda", "Hilfe anzeigen", "Mostrar ajuda"};

const Localized VERSION_FLAG = Localized{"Print version", "Afficher la version", "Mostrar versión",
                                         "Version anzeigen", "Mostrar versão"};

const std::array<NamedText, 12> ARGUMENT_HELPS{{
    {"lang",
     Localized{"Help language (default: system language)",
               "Langue de l'aide (défaut : langue système)",
               "Idioma de la ayuda (por defecto: sistema)",
               "Hilfesprache (Standard: Systemsprache)", "Idioma da ajuda (padrão: sistema)"}},
    {"progress",
     Localized{
         "Force progress and estimated remaining time, also in redirected logs",
         "Afficher la progression et le temps restant estimé, même dans les journaux redirigés",
         "Mostrar progreso y tiempo restante estimado, incluso en registros redirigidos",
         "Fortschritt und geschätzte Restzeit auch in umgeleiteten Protokollen anzeigen",
         "Mostrar progresso e tempo restante estimado, também nos registros redirecionados"}},
    {"no_progress", Localized{"Disable progress display",
                              "Désactiver l'affichage de la progression", "Desactivar el progreso",
                              "Fortschrittsanzeige deaktivieren", "Desativar o progresso"}},
    {"json",
     Localized{"Print machine-readable JSON", "Afficher au format JSON", "Mostrar en formato JSON",
               "Im JSON-Format ausgeben", "Mostrar em formato JSON"}},
    {"entry", Localized{"Exact archive path to extract; repeat for multiple entries",
                        "Chemin exact dans l'archive ; répéter pour plusieurs entrées",
                        "Ruta exacta del archivo; repetir para varias entradas",
                        "Exakten Archivpfad entpacken; für mehrere Einträge wiederholen",
                        "Caminho exato no arquivo; repetir para várias entradas"}},
    {"inputs",
     Localized{"Files/directories to archive; shell wildcards such as *.jpg are supported",
               "Fichiers/dossiers à archiver ; motifs du shell possibles, par exemple *.jpg",
               "Archivos/directorios; patrones del shell como *.jpg",
               "Dateien/Verzeichnisse; Shell-Muster wie *.jpg",
               "Arquivos/diretórios; padrões do shell como *.jpg"}},
    {"archive",
     Localized{"Existing .kov archive", "Archive .kov existante", "Archivo .kov existente",
               "Vorhandenes .kov-Archiv", "Arquivo .kov existente"}},
    {"command", Localized{"Command to explain", "Commande à expliquer", "Comando a explicar",
                          "Befehl für die Hilfe", "Comando a explicar"}},
    {"key_file",
     Localized{"Encrypt/decrypt using an existing secret .kovkey created by keygen",
               "Chiffrer/déchiffrer avec une clé secrète .kovkey existante, créée par keygen",
               "Cifrar/descifrar con una clave .kovkey existente creada por keygen",
               "Mit vorhandenem geheimem .kovkey-Schlüssel aus keygen verschlüsseln/entschlüsseln",
               "Criptografar/descriptografar com uma chave .kovkey existente criada por keygen"}},
    {"password_file",
     Localized{
         "Encrypt/decrypt using a password read from this file (trailing CR/LF removed)",
         "Chiffrer/déchiffrer avec le mot de passe lu dans ce fichier (CR/LF finaux retirés)",
         "Cifrar/descifrar con la contraseña del archivo (sin CR/LF finales)",
         "Mit Passwort aus dieser Datei verschlüsseln/entschlüsseln (ohne abschließende CR/LF)",
         "Criptografar/descriptografar com a senha deste arquivo (sem CR/LF finais)"}},
    {"overwrite", Localized{"Allow replacing existing extracted files",
                            "Autoriser le remplacement des fichiers extraits existants",
                            "Permitir sustituir archivos extraídos existentes",
                            "Vorhandene entpackte Dateien ersetzen",
                            "Permitir substituir arquivos extraídos existentes"}},
    {"destination",
     Localized{"Extraction directory", "Dossier d'extraction", "Directorio de extracción",
               "Zielverzeichnis", "Diretório de extração"}},
}};

const Localized OUTPUT_KEY_FILE_HELP = Localized{
    "New secret key file (never overwritten)", "Nouveau fichier de clé secrète (jamais écrasé)",
    "Nuevo archivo de clave secreta (nunca se sobrescribe)",
    "Neue geheime Schlüsseldatei (wird nie überschrieben)",
    "Novo arquivo de chave secreta (nunca substituído)"};

const Localized OUTPUT_ARCHIVE_HELP = Localized{
    "Archive path; default: first input name + .kov in current directory",
    "Chemin de sortie ; défaut : nom de la première entrée + .kov dans le dossier courant",
    "Ruta de salida; por defecto: primera entrada + .kov en el directorio actual",
    "Ausgabepfad; Standard: erste Eingabe + .kov im aktuellen Verzeichnis",
    "Caminho de saída; padrão: primeira entrada + .kov no diretório atual"};

const Localized EXAMPLES = Localized{
    R"kov(Examples:

Without encryption: folder, one file, several JPG files, chosen output name
  kov create Photos
  kov create image.jpg
  kov create *.jpg
  kov create --output photos.kov *.jpg
  kov create -o photos.kov image1.jpg image2.jpg

Key-file encryption — TWO REQUIRED STEPS:
1. Generate the secret key BEFORE creating the archive:
  kov keygen photos.kovkey
2. Create the encrypted archive using that existing key:
  kov create -o photos.kov *.jpg --key-file photos.kovkey
If the key already exists, skip step 1 and reuse it.

Alternative: automatic archive name, with an existing key
  kov create Photos --key-file photos.kovkey

Password encryption (alternative to --key-file; password.txt must already contain the password)
  kov create -o private.kov Photos --password-file password.txt

Verify and extract with the SAME credential
  kov test photos.kov --key-file photos.kovkey
  kov test photos.kov --key-file photos.kovkey --json
  kov extract photos.kov -d restored --key-file photos.kovkey
  kov test private.kov --password-file password.txt
  kov extract private.kov --destination restored-private --password-file password.txt

Inspect paths and metadata; JSON output
  kov list photos.kov
  kov list photos.kov --json
  kov info photos.kov
  kov info photos.kov --json

Extraction options: destination, selected entries, explicit overwrite
  kov extract photos.kov --destination restored --key-file photos.kovkey
  kov extract photos.kov -d selected --entry image1.jpg --entry image2.jpg --key-file photos.kovkey
  kov extract photos.kov -d restored --overwrite --key-file photos.kovkey
Replace image1.jpg / image2.jpg with exact paths reported by kov list.

Choose the help language
  kov --lang en create --help

Archive output (create): optional; the first input's full name + .kov, in the current directory.
Photos -> Photos.kov; image.jpg -> image.jpg.kov; *.jpg uses the first match.
The shell expands *.jpg; do not quote the wildcard. Existing archives are never replaced.

Encryption: disabled by default. --key-file reads an EXISTING secret .kovkey file.
Run keygen first: the key is NOT created with the archive. The same key can be reused.
Keep a separate safe backup: a lost key makes decryption impossible.
Supply the same key for test and extract. --password-file is an alternative;
the two options cannot be combined. List/info expose paths and metadata without a key.

Language: --lang en|fr|es|de|pt overrides the system language; English is the fallback.)kov",
    R"kov(Exemples :

Sans chiffrement : dossier, fichier, plusieurs JPG, nom de sortie choisi
  kov create Photos
  kov create image.jpg
  kov create *.jpg
  kov create --output photos.kov *.jpg
  kov create -o photos.kov image1.jpg image2.jpg

Chiffrement par clé — DEUX ÉTAPES OBLIGATOIRES :
1. Générer la clé secrète AVANT de créer l’archive :
  kov keygen photos.kovkey
2. Créer l’archive chiffrée avec cette clé existante :
  kov create -o photos.kov *.jpg --key-file photos.kovkey
Si la clé existe déjà, passer l’étape 1 et la réutiliser.

Variante : nom d’archive automatique, avec une clé existante
  kov create Photos --key-file photos.kovkey

Chiffrement par mot de passe (alternative à --key-file ; password.txt doit déjà contenir le mot de passe)
  kov create -o private.kov Photos --password-file password.txt

Vérifier et extraire avec le MÊME accès de chiffrement
  kov test photos.kov --key-file photos.kovkey
  kov test photos.kov --key-file photos.kovkey --json
  kov extract photos.kov -d restored --key-file photos.kovkey
  kov test private.kov --password-file password.txt
  kov extract private.kov --destination restored-private --password-file password.txt

Afficher les chemins et métadonnées ; sortie JSON
  kov list photos.kov
  kov list photos.kov --json
  kov info photos.kov
  kov info photos.kov --json

Options d’extraction : destination, entrées sélectionnées, remplacement explicite
  kov extract photos.kov --destination restored --key-file photos.kovkey
  kov extract photos.kov -d selected --entry image1.jpg --entry image2.jpg --key-file photos.kovkey
  kov extract photos.kov -d restored --overwrite --key-file photos.kovkey
Remplacer image1.jpg / image2.jpg par les chemins exacts affichés par kov list.

Choisir la langue de l’aide
  kov --lang fr create --help

Sortie de l’archive (create) : facultative ; nom complet de la première entrée + .kov, dans le dossier courant.
Photos -> Photos.kov ; image.jpg -> image.jpg.kov ; *.jpg utilise le premier résultat.
Le shell développe *.jpg ; ne pas mettre le motif entre guillemets. Aucune archive existante n'est remplacée.

Chiffrement : désactivé par défaut. --key-file lit un fichier secret .kovkey EXISTANT.
Exécuter keygen d'abord : la clé n'est PAS créée avec l'archive. Elle peut être réutilisée.
Conserver une sauvegarde séparée en lieu sûr : perdre la clé rend le déchiffrement impossible.
Fournir la même clé à test et extract. --password-file est une alternative ;
les deux options sont incompatibles. List/info affichent les chemins et métadonnées sans clé.

Langue : --lang en|fr|es|de|pt remplace la langue système ; repli en anglais.)kov",
    R"kov(Ejemplos:

Sin cifrado: carpeta, archivo, varios JPG, nombre de salida elegido
  kov create Photos
  kov create image.jpg
  kov create *.jpg
  kov create --output photos.kov *.jpg
  kov create -o photos.kov image1.jpg image2.jpg

Cifrado con clave — DOS PASOS OBLIGATORIOS:
1. Generar la clave secreta ANTES de crear el archivo:
  kov keygen photos.kovkey
2. Crear el archivo cifrado con esa clave existente:
  kov create -o photos.kov *.jpg --key-file photos.kovkey
Si la clave ya existe, omitir el paso 1 y reutilizarla.

Variante: nombre automático con una clave existente
  kov create Photos --key-file photos.kovkey

Cifrado con contraseña (alternativa a --key-file; password.txt debe contener la contraseña)
  kov create -o private.kov Photos --password-file password.txt

Verificar y extraer con la MISMA credencial
  kov test photos.kov --key-file photos.kovkey
  kov test photos.kov --key-file photos.kovkey --json
  kov extract photos.kov -d restored --key-file photos.kovkey
  kov test private.kov --password-file password.txt
  kov extract private.kov --destination restored-private --password-file password.txt

Mostrar rutas y metadatos; salida JSON
  kov list photos.kov
  kov list photos.kov --json
  kov info photos.kov
  kov info photos.kov --json

Opciones de extracción: destino, entradas seleccionadas, sustitución explícita
  kov extract photos.kov --destination restored --key-file photos.kovkey
  kov extract photos.kov -d selected --entry image1.jpg --entry image2.jpg --key-file photos.kovkey
  kov extract photos.kov -d restored --overwrite --key-file photos.kovkey
Sustituir image1.jpg / image2.jpg por las rutas exactas mostradas por kov list.

Elegir el idioma de la ayuda
  kov --lang es create --help

Salida del archivo (create) opcional: nombre completo de la primera entrada + .kov, en el directorio actual.
Photos -> Photos.kov; image.jpg -> image.jpg.kov; *.jpg usa la primera coincidencia.
El shell expande *.jpg; no use comillas. Nunca se reemplazan archivos existentes.

Cifrado desactivado por defecto. --key-file lee un archivo secreto .kovkey EXISTENTE.
Ejecute keygen antes: la clave NO se crea con el archivo. Se puede reutilizar.
Guarde una copia separada y segura: perder la clave impide descifrar el archivo.
Use la misma clave con test y extract. --password-file es una alternativa;
las dos opciones son incompatibles. List/info muestran rutas y metadatos sin clave.

Idioma: --lang en|fr|es|de|pt sustituye el idioma del sistema; inglés como alternativa.)kov",
    R"kov(Beispiele:

Ohne Verschlüsselung: Ordner, Datei, mehrere JPG-Dateien, gewählter Ausgabename
  kov create Photos
  kov create image.jpg
  kov create *.jpg
  kov create --output photos.kov *.jpg
  kov create -o photos.kov image1.jpg image2.jpg

Schlüsselverschlüsselung — ZWEI ERFORDERLICHE SCHRITTE:
1. Geheimen Schlüssel VOR dem Erstellen des Archivs erzeugen:
  kov keygen photos.kovkey
2. Verschlüsseltes Archiv mit diesem vorhandenen Schlüssel erstellen:
  kov create -o photos.kov *.jpg --key-file photos.kovkey
Wenn der Schlüssel bereits existiert, Schritt 1 überspringen und ihn wiederverwenden.

Variante: automatischer Archivname mit vorhandenem Schlüssel
  kov create Photos --key-file photos.kovkey

Passwortverschlüsselung (Alternative zu --key-file; password.txt muss das Passwort enthalten)
  kov create -o private.kov Photos --password-file password.txt

Mit DEMSELBEN Zugang prüfen und entpacken
  kov test photos.kov --key-file photos.kovkey
  kov test photos.kov --key-file photos.kovkey --json
  kov extract photos.kov -d restored --key-file photos.kovkey
  kov test private.kov --password-file password.txt
  kov extract private.kov --destination restored-private --password-file password.txt

Pfade und Metadaten anzeigen; JSON-Ausgabe
  kov list photos.kov
  kov list photos.kov --json
  kov info photos.kov
  kov info photos.kov --json

Entpackoptionen: Ziel, ausgewählte Einträge, ausdrückliches Überschreiben
  kov extract photos.kov --destination restored --key-file photos.kovkey
  kov extract photos.kov -d selected --entry image1.jpg --entry image2.jpg --key-file photos.kovkey
  kov extract photos.kov -d restored --overwrite --key-file photos.kovkey
image1.jpg / image2.jpg durch die exakten Pfade aus kov list ersetzen.

Hilfesprache wählen
  kov --lang de create --help

Archivausgabe (create) optional: vollständiger Name der ersten Eingabe + .kov, im aktuellen Verzeichnis.
Photos -> Photos.kov; image.jpg -> image.jpg.kov; *.jpg verwendet den ersten Treffer.
Die Shell erweitert *.jpg; keine Anführungszeichen verwenden. Bestehende Archive werden nie ersetzt.

Verschlüsselung standardmäßig aus. --key-file liest eine VORHANDENE geheime .kovkey-Datei.
Zuerst keygen ausführen: der Schlüssel wird NICHT mit dem Archiv erstellt. Er ist wiederverwendbar.
Eine sichere separate Kopie aufbewahren: ohne Schlüssel ist die Entschlüsselung unmöglich.
Denselben Schlüssel für test und extract verwenden. --password-file ist eine Alternative;
die beiden Optionen schließen sich aus. List/info zeigen Pfade und Metadaten ohne Schlüssel.

Sprache: --lang en|fr|es|de|pt überschreibt die Systemsprache; Englisch als Rückfall.)kov",
    R"kov(Exemplos:

Sem criptografia: pasta, arquivo, vários JPG, nome de saída escolhido
  kov create Photos
  kov create image.jpg
  kov create *.jpg
  kov create --output photos.kov *.jpg
  kov create -o photos.kov image1.jpg image2.jpg

Criptografia com chave — DUAS ETAPAS OBRIGATÓRIAS:
1. Gerar a chave secreta ANTES de criar o arquivo:
  kov keygen photos.kovkey
2. Criar o arquivo criptografado com essa chave existente:
  kov create -o photos.kov *.jpg --key-file photos.kovkey
Se a chave já existir, pular a etapa 1 e reutilizá-la.

Variante: nome automático com uma chave existente
  kov create Photos --key-file photos.kovkey

Criptografia com senha (alternativa a --key-file; password.txt deve conter a senha)
  kov create -o private.kov Photos --password-file password.txt

Verificar e extrair com a MESMA credencial
  kov test photos.kov --key-file photos.kovkey
  kov test photos.kov --key-file photos.kovkey --json
  kov extract photos.kov -d restored --key-file photos.kovkey
  kov test private.kov --password-file password.txt
  kov extract private.kov --destination restored-private --password-file password.txt

Mostrar caminhos e metadados; saída JSON
  kov list photos.kov
  kov list photos.kov --json
  kov info photos.kov
  kov info photos.kov --json

Opções de extração: destino, entradas selecionadas, substituição explícita
  kov extract photos.kov --destination restored --key-file photos.kovkey
  kov extract photos.kov -d selected --entry image1.jpg --entry image2.jpg --key-file photos.kovkey
  kov extract photos.kov -d restored --overwrite --key-file photos.kovkey
Substituir image1.jpg / image2.jpg pelos caminhos exatos mostrados por kov list.

Escolher o idioma da ajuda
  kov --lang pt create --help

Saída do arquivo (create) opcional: nome completo da primeira entrada + .kov, no diretório atual.
Photos -> Photos.kov; image.jpg -> image.jpg.kov; *.jpg usa a primeira correspondência.
O shell expande *.jpg; não use aspas. Os arquivos existentes nunca são substituídos.

Criptografia desativada por padrão. --key-file lê um arquivo secreto .kovkey EXISTENTE.
Execute keygen primeiro: a chave NÃO é criada com o arquivo. Ela pode ser reutilizada.
Guarde uma cópia separada e segura: perder a chave impossibilita a descriptografia.
Use a mesma chave com test e extract. --password-file é uma alternativa;
as duas opções são incompatíveis. List/info mostram caminhos e metadados sem chave.

Idioma: --lang en|fr|es|de|pt substitui o idioma do sistema; inglês como alternativa.)kov"};

const Localized SINGLE_PATH = Localized{
    R"kov(Single path, no other arguments:
  kov /path/Photos
  kov /path/image.jpg
Creates /path/Photos.kov or /path/image.jpg.kov beside the source.
  kov /path/Photos.kov
Asks [Y/n] before extracting beside the archive. Enter confirms; n or EOF cancels. Existing files are never overwritten. Use explicit extract with credentials for encrypted archives.)kov",
    R"kov(Un seul chemin, sans autre paramètre :
  kov /chemin/Photos
  kov /chemin/image.jpg
Crée /chemin/Photos.kov ou /chemin/image.jpg.kov à côté de la source.
  kov /chemin/Photos.kov
Demande [O/n] avant d’extraire à côté de l’archive. Entrée confirme ; n ou une fin d’entrée annule. Aucun fichier existant n’est écrasé. Pour une archive chiffrée, utiliser extract avec ses accès.)kov",
    R"kov(Una sola ruta, sin otros argumentos:
  kov /ruta/Photos
  kov /ruta/image.jpg
Crea Photos.kov o image.jpg.kov junto al origen.
  kov /ruta/Photos.kov
Pide [Y/n] antes de extraer junto al archivo. Intro confirma; n o fin de entrada cancela. No sobrescribe archivos. Para archivos cifrados, usar extract con la clave.)kov",
    R"kov(Ein einzelner Pfad, ohne weitere Argumente:
  kov /pfad/Photos
  kov /pfad/image.jpg
Erstellt Photos.kov oder image.jpg.kov neben der Quelle.
  kov /pfad/Photos.kov
Fragt vor dem Entpacken neben dem Archiv [Y/n]. Eingabe bestätigt; n oder Eingabeende bricht ab. Vorhandene Dateien bleiben erhalten. Verschlüsselte Archive mit extract und Schlüssel entpacken.)kov",
    R"kov(Um único caminho, sem outros argumentos:
  kov /caminho/Photos
  kov /caminho/image.jpg
Cria Photos.kov ou image.jpg.kov ao lado da origem.
  kov /caminho/Photos.kov
Pede [Y/n] antes de extrair ao lado do arquivo. Enter confirma; n ou fim de entrada cancela. Não substitui arquivos existentes. Para arquivos criptografados, usar extract com a chave.)kov"};

const Localized QUESTION_ACTION =
    Localized{"Extract", "Extraire", "Extraer", "Entpacken", "Extrair"};

const Localized QUESTION_HINT = Localized{"Y/n", "O/n", "Y/n", "Y/n", "Y/n"};

const Localized ACCEPT_SHORT = Localized{"y", "o", "y", "y", "y"};

const Localized ACCEPT_LONG = Localized{"yes", "oui", "yes", "yes", "yes"};

}  // namespace kov::cli_help
