<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en" sourcelanguage="ru">
<context>
    <name>brindle::AboutBox</name>
    <message>
        <source>About Brindle</source>
        <translation>About Brindle</translation>
    </message>
    <message>
        <source>Небольшой редактор звука: MP3 и WAV.</source>
        <translation>A small sound editor: MP3 and WAV.</translation>
    </message>
    <message>
        <source>OK</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>Version %1.%2.%3  (Build %4)</source>
        <translation>Version %1.%2.%3  (Build %4)</translation>
    </message>
</context>
<context>
    <name>brindle::CommandLine</name>
    <message>
        <source>Использование: %1 [--help] [--version] [ФАЙЛ]
</source>
        <translation>Usage: %1 [--help] [--version] [FILE]
</translation>
    </message>
    <message>
        <source>Звуковой редактор файлов MP3 и WAV.</source>
        <translation>An audio editor for MP3 and WAV files.</translation>
    </message>
    <message>
        <source>Показать эту справку и выйти.</source>
        <translation>Show this help and exit.</translation>
    </message>
    <message>
        <source>Показать версию и выйти.</source>
        <translation>Show the version and exit.</translation>
    </message>
    <message>
        <source>ФАЙЛ</source>
        <translation>FILE</translation>
    </message>
    <message>
        <source>Файл MP3, WAV, FLAC, Ogg или Opus, который открыть.</source>
        <translation>The MP3, WAV, FLAC, Ogg or Opus file to open.</translation>
    </message>
    <message>
        <source>[ФАЙЛ]</source>
        <translation>[FILE]</translation>
    </message>
    <message>
        <source>%1: один файл за раз
</source>
        <translation>%1: one file at a time
</translation>
    </message>
    <message>
        <source>Имя файла, начинающееся с «-», ставится после «--»: %1 -- %2
</source>
        <translation>A file name that begins with &apos;-&apos; goes after &apos;--&apos;: %1 -- %2
</translation>
    </message>
    <message>
        <source>%1: нет дисплея для окна: не заданы DISPLAY и WAYLAND_DISPLAY
</source>
        <translation>%1: no display for the window: neither DISPLAY nor WAYLAND_DISPLAY is set
</translation>
    </message>
</context>
<context>
    <name>brindle::Commands</name>
    <message>
        <source>Открыть существующий файл
Открыть</source>
        <translation>Open an existing file
Open</translation>
    </message>
    <message>
        <source>Сохранить активный файл с текущим именем
Сохранить</source>
        <translation>Save the active file with its current name
Save</translation>
    </message>
    <message>
        <source>Сохранить активный файл с новым именем
Сохранить как</source>
        <translation>Save the active file with a new name
Save As</translation>
    </message>
    <message>
        <source>Выход из приложения
Выход</source>
        <translation>Quit the application
Exit</translation>
    </message>
    <message>
        <source>Воспроизведение
Воспроизведение</source>
        <translation>Play
Play</translation>
    </message>
    <message>
        <source>Пауза
Пауза</source>
        <translation>Pause
Pause</translation>
    </message>
    <message>
        <source>Остановить
Стоп</source>
        <translation>Stop playing
Stop</translation>
    </message>
    <message>
        <source>Выбрать начало
Выбрать начало</source>
        <translation>Set the start
Set Start</translation>
    </message>
    <message>
        <source>Выбрать окончание
Выбрать окончание</source>
        <translation>Set the end
Set End</translation>
    </message>
    <message>
        <source>Выбрать всё
Выбрать всё</source>
        <translation>Select all
Select All</translation>
    </message>
    <message>
        <source>Отменить
Отменить любой текущий выбор</source>
        <translation>Deselect
Cancel any current selection</translation>
    </message>
    <message>
        <source>Посетите сайт приложения
Посетить официальный сайт</source>
        <translation>Visit the application&apos;s website
Visit the official website</translation>
    </message>
    <message>
        <source>Отобразить информацию о программе, номер версии и авторское право
Обзор</source>
        <translation>Display program information, version number and copyright
About</translation>
    </message>
    <message>
        <source>Увеличить масштаб около позиции воспроизведения
Увеличить</source>
        <translation>Zoom in around the play position
Zoom In</translation>
    </message>
    <message>
        <source>Уменьшить масштаб около позиции воспроизведения
Уменьшить</source>
        <translation>Zoom out around the play position
Zoom Out</translation>
    </message>
    <message>
        <source>Показать весь файл
Весь файл</source>
        <translation>Show the whole file
Whole File</translation>
    </message>
    <message>
        <source>Ставить края выделения туда, где MP3 сохраняется без перекодирования
Привязать к кадрам MP3</source>
        <translation>Put selection edges where an MP3 saves without re-encoding
Snap to MP3 frames</translation>
    </message>
    <message>
        <source>Вырезать выделение в буфер обмена
Вырезать</source>
        <translation>Cut the selection to the clipboard
Cut</translation>
    </message>
    <message>
        <source>Копировать выделение в буфер обмена
Копировать</source>
        <translation>Copy the selection to the clipboard
Copy</translation>
    </message>
    <message>
        <source>Вставить буфер обмена вместо выделения или в позицию воспроизведения
Вставить</source>
        <translation>Paste the clipboard over the selection or at the play position
Paste</translation>
    </message>
    <message>
        <source>Вставить тишину вместо выделения или в позицию воспроизведения
Вставить тишину</source>
        <translation>Insert silence over the selection or at the play position
Insert Silence</translation>
    </message>
    <message>
        <source>Привести громкость выделения или всего звука к целевой (EBU R128)
Нормализовать громкость</source>
        <translation>Bring the loudness of the selection or the whole sound to a target (EBU R128)
Normalize Loudness</translation>
    </message>
    <message>
        <source>Формат, длительность, пики и громкость звука
Сведения о звуке</source>
        <translation>Format, length, peaks and loudness of the sound
Sound Properties</translation>
    </message>
    <message>
        <source>Закрыть звук, сохранив изменения по желанию
Закрыть</source>
        <translation>Close the sound, saving its changes if you wish
Close</translation>
    </message>
    <message>
        <source>Ввести начало, конец или длительность выделения
Задать выделение</source>
        <translation>Type the selection&apos;s start, end or length
Set Selection</translation>
    </message>
    <message>
        <source>Ввести позицию воспроизведения
Перейти к</source>
        <translation>Type the play position
Go To</translation>
    </message>
    <message>
        <source>Воспроизводить выделение снова и снова
Повторять выделение</source>
        <translation>Play the selection over and over
Loop Selection</translation>
    </message>
    <message>
        <source>Растянуть картину по высоте
Увеличить по вертикали</source>
        <translation>Stretch the picture vertically
Zoom In Vertically</translation>
    </message>
    <message>
        <source>Сжать картину по высоте
Уменьшить по вертикали</source>
        <translation>Shrink the picture vertically
Zoom Out Vertically</translation>
    </message>
    <message>
        <source>Показать все клавиши редактора
Клавиши</source>
        <translation>Show every key of the editor
Keys</translation>
    </message>
</context>
<context>
    <name>brindle::DocumentView</name>
    <message>
        <source>Документ</source>
        <translation>Document</translation>
    </message>
    <message>
        <source>Прокрутка</source>
        <translation>Scroll bar</translation>
    </message>
</context>
<context>
    <name>brindle::EditButtonPanel</name>
    <message>
        <source>Правка</source>
        <translation>Edit</translation>
    </message>
    <message>
        <source>Удалить выбранное</source>
        <translation>Delete Selected</translation>
    </message>
    <message>
        <source>Удалить НЕвыбранное</source>
        <translation>Delete Unselected</translation>
    </message>
    <message>
        <source>Изменить громкость...</source>
        <translation>Change Volume...</translation>
    </message>
    <message>
        <source>Увеличить громкость</source>
        <translation>Increase Volume</translation>
    </message>
    <message>
        <source>Возрастание</source>
        <translation>Fade In</translation>
    </message>
    <message>
        <source>Затухание</source>
        <translation>Fade Out</translation>
    </message>
    <message>
        <source>Convert to Stereo</source>
        <translation>Convert to Stereo</translation>
    </message>
    <message>
        <source>Конвертировать в Моно</source>
        <translation>Convert to Mono</translation>
    </message>
</context>
<context>
    <name>brindle::LoudnessDialog</name>
    <message>
        <source>Нормализовать громкость</source>
        <translation>Normalize Loudness</translation>
    </message>
    <message>
        <source>Сейчас: %1 LUFS, истинный пик %2 dBFS</source>
        <translation>Now: %1 LUFS, true peak %2 dBFS</translation>
    </message>
    <message>
        <source>Целевая громкость (LUFS)</source>
        <translation>Target loudness (LUFS)</translation>
    </message>
    <message>
        <source>Потолок истинного пика (dBFS)</source>
        <translation>True peak ceiling (dBFS)</translation>
    </message>
    <message>
        <source>Целевая громкость (LUFS):</source>
        <translation>Target loudness (LUFS):</translation>
    </message>
    <message>
        <source>Потолок истинного пика (dBFS):</source>
        <translation>True peak ceiling (dBFS):</translation>
    </message>
    <message>
        <source>OK</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>Отмена</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>Введите целевую громкость от -70 до 0 LUFS.</source>
        <translation>Enter a target loudness from -70 to 0 LUFS.</translation>
    </message>
    <message>
        <source>Усиление %1 дБ подняло бы истинный пик выше потолка %2 dBFS.</source>
        <translation>A gain of %1 dB would push the true peak over the %2 dBFS ceiling.</translation>
    </message>
    <message>
        <source>Остановиться на потолке: усиление %1 дБ</source>
        <translation>Stop at the ceiling: a gain of %1 dB</translation>
    </message>
    <message>
        <source>Усиление %1 дБ.</source>
        <translation>A gain of %1 dB.</translation>
    </message>
</context>
<context>
    <name>brindle::KeysWindow</name>
    <message>
        <source>Позиция в начало, в конец</source>
        <translation>Position to the start, to the end</translation>
    </message>
    <message>
        <source>Позиция на столбец волны влево, вправо</source>
        <translation>Position one waveform column left, right</translation>
    </message>
    <message>
        <source>Выделить до начала, до конца</source>
        <translation>Select to the start, to the end</translation>
    </message>
    <message>
        <source>Выделять по столбцу волны</source>
        <translation>Select one waveform column at a time</translation>
    </message>
    <message>
        <source>Остановить и снять выделение</source>
        <translation>Stop and deselect</translation>
    </message>
    <message>
        <source>Увеличить или уменьшить около указателя</source>
        <translation>Zoom in or out around the pointer</translation>
    </message>
    <message>
        <source>Увеличить или уменьшить по вертикали</source>
        <translation>Zoom in or out vertically</translation>
    </message>
    <message>
        <source>Прокрутить увеличенную волну</source>
        <translation>Scroll the zoomed waveform</translation>
    </message>
    <message>
        <source>Клавиши</source>
        <translation>Keys</translation>
    </message>
    <message>
        <source>Команда</source>
        <translation>Command</translation>
    </message>
</context>
<context>
    <name>brindle::MainFrame</name>
    <message>
        <source>&amp;Файл</source>
        <translation>&amp;File</translation>
    </message>
    <message>
        <source>Открыть...</source>
        <translation>Open...</translation>
    </message>
    <message>
        <source>Сохранить</source>
        <translation>Save</translation>
    </message>
    <message>
        <source>Сохранить как...</source>
        <translation>Save As...</translation>
    </message>
    <message>
        <source>Выход</source>
        <translation>Exit</translation>
    </message>
    <message>
        <source>&amp;Воспроизвести</source>
        <translation>&amp;Play</translation>
    </message>
    <message>
        <source>Воспроизведение	Space</source>
        <translation>Play	Space</translation>
    </message>
    <message>
        <source>Пауза	Space</source>
        <translation>Pause	Space</translation>
    </message>
    <message>
        <source>Стоп</source>
        <translation>Stop</translation>
    </message>
    <message>
        <source>В&amp;ыбор</source>
        <translation>&amp;Selection</translation>
    </message>
    <message>
        <source>Установить Начало</source>
        <translation>Set Start</translation>
    </message>
    <message>
        <source>Установить Конец</source>
        <translation>Set End</translation>
    </message>
    <message>
        <source>Выбрать всё</source>
        <translation>Select All</translation>
    </message>
    <message>
        <source>Снять выделение	Esc</source>
        <translation>Deselect	Esc</translation>
    </message>
    <message>
        <source>&amp;Инструменты</source>
        <translation>&amp;Tools</translation>
    </message>
    <message>
        <source>Tessaly</source>
        <translation>Tessaly</translation>
    </message>
    <message>
        <source>&amp;Справка</source>
        <translation>&amp;Help</translation>
    </message>
    <message>
        <source>Сайт</source>
        <translation>Website</translation>
    </message>
    <message>
        <source>О программе</source>
        <translation>About</translation>
    </message>
    <message>
        <source>Панель инструментов</source>
        <translation>Toolbar</translation>
    </message>
    <message>
        <source>Начало</source>
        <translation>Start</translation>
    </message>
    <message>
        <source>Конец</source>
        <translation>End</translation>
    </message>
    <message>
        <source>Весь трек</source>
        <translation>Whole Track</translation>
    </message>
    <message>
        <source>Снять выделение</source>
        <translation>Deselect</translation>
    </message>
    <message>
        <source>&amp;Правка</source>
        <translation>&amp;Edit</translation>
    </message>
    <message>
        <source>Отменить действие</source>
        <translation>Undo</translation>
    </message>
    <message>
        <source>Повторить действие</source>
        <translation>Redo</translation>
    </message>
    <message>
        <source>Ви&amp;д</source>
        <translation>&amp;View</translation>
    </message>
    <message>
        <source>Увеличить</source>
        <translation>Zoom In</translation>
    </message>
    <message>
        <source>Уменьшить</source>
        <translation>Zoom Out</translation>
    </message>
    <message>
        <source>Весь файл</source>
        <translation>Whole File</translation>
    </message>
    <message>
        <source>Привязать к кадрам MP3</source>
        <translation>Snap to MP3 Frames</translation>
    </message>
    <message>
        <source>Вырезать</source>
        <translation>Cut</translation>
    </message>
    <message>
        <source>Копировать</source>
        <translation>Copy</translation>
    </message>
    <message>
        <source>Вставить</source>
        <translation>Paste</translation>
    </message>
    <message>
        <source>Закрыть</source>
        <translation>Close</translation>
    </message>
    <message>
        <source>Задать выделение…</source>
        <translation>Set Selection…</translation>
    </message>
    <message>
        <source>Перейти к…</source>
        <translation>Go To…</translation>
    </message>
    <message>
        <source>&amp;Эффекты</source>
        <translation>Effe&amp;cts</translation>
    </message>
    <message>
        <source>Вставить &amp;тишину...</source>
        <translation>Insert Si&amp;lence...</translation>
    </message>
    <message>
        <source>Сведения о звуке</source>
        <translation>Sound Properties</translation>
    </message>
    <message>
        <source>&amp;Нормализовать громкость...</source>
        <translation>&amp;Normalize Loudness...</translation>
    </message>
    <message>
        <source>&amp;Изменить громкость...</source>
        <translation>&amp;Change Volume...</translation>
    </message>
    <message>
        <source>&amp;Увеличить громкость</source>
        <translation>&amp;Increase Volume</translation>
    </message>
    <message>
        <source>&amp;Возрастание</source>
        <translation>Fade &amp;In</translation>
    </message>
    <message>
        <source>&amp;Затухание</source>
        <translation>Fade &amp;Out</translation>
    </message>
    <message>
        <source>Конвертировать в &amp;Моно</source>
        <translation>Convert to &amp;Mono</translation>
    </message>
    <message>
        <source>Convert to &amp;Stereo</source>
        <translation>Convert to &amp;Stereo</translation>
    </message>
    <message>
        <source>Клавиши</source>
        <translation>Keys</translation>
    </message>
    <message>
        <source>Повторять выделение</source>
        <translation>Loop Selection</translation>
    </message>
    <message>
        <source>Увеличить по вертикали</source>
        <translation>Zoom In Vertically</translation>
    </message>
    <message>
        <source>Уменьшить по вертикали</source>
        <translation>Zoom Out Vertically</translation>
    </message>
    <message>
        <source>&amp;Удалить выбранное	Del</source>
        <translation>&amp;Delete Selected	Del</translation>
    </message>
    <message>
        <source>Удалить &amp;НЕвыбранное</source>
        <translation>Delete &amp;Unselected</translation>
    </message>
</context>
<context>
    <name>brindle::ProgressWindow</name>
    <message>
        <source>Отмена</source>
        <translation>Cancel</translation>
    </message>
</context>
<context>
    <name>brindle::Prompts</name>
    <message>
        <source>MP3 Files (*.mp3)</source>
        <translation>MP3 Files (*.mp3)</translation>
    </message>
    <message>
        <source>WAV Files (*.wav)</source>
        <translation>WAV Files (*.wav)</translation>
    </message>
    <message>
        <source>All Supported Files (*.mp3 *.wav *.flac *.ogg *.oga *.opus)</source>
        <translation>All Supported Files (*.mp3 *.wav *.flac *.ogg *.oga *.opus)</translation>
    </message>
    <message>
        <source>FLAC Files (*.flac)</source>
        <translation>FLAC Files (*.flac)</translation>
    </message>
    <message>
        <source>Ogg Vorbis Files (*.ogg *.oga)</source>
        <translation>Ogg Vorbis Files (*.ogg *.oga)</translation>
    </message>
    <message>
        <source>Opus Files (*.opus)</source>
        <translation>Opus Files (*.opus)</translation>
    </message>
</context>
<context>
    <name>brindle::SelectionBar</name>
    <message>
        <source>Полоса выделения</source>
        <translation>Selection bar</translation>
    </message>
</context>
<context>
    <name>brindle::SilenceDialog</name>
    <message>
        <source>Вставить тишину</source>
        <translation>Insert Silence</translation>
    </message>
    <message>
        <source>Длительность (с):</source>
        <translation>Duration (s):</translation>
    </message>
    <message>
        <source>Длительность (с)</source>
        <translation>Duration (s)</translation>
    </message>
    <message>
        <source>OK</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>Отмена</source>
        <translation>Cancel</translation>
    </message>
</context>
<context>
    <name>brindle::SoundPropertiesDialog</name>
    <message>
        <source>Сведения о звуке</source>
        <translation>Sound Properties</translation>
    </message>
    <message>
        <source>Закрыть</source>
        <translation>Close</translation>
    </message>
</context>
<context>
    <name>brindle::StartPanel</name>
    <message>
        <source>Начало работы</source>
        <translation>Getting started</translation>
    </message>
    <message>
        <source>Открыть файл для редактирования</source>
        <translation>Open a file to edit</translation>
    </message>
</context>
<context>
    <name>brindle::StatusPanes</name>
    <message>
        <source>Сообщение</source>
        <translation>Message</translation>
    </message>
    <message>
        <source>Длина</source>
        <translation>Length</translation>
    </message>
    <message>
        <source>Позиция</source>
        <translation>Position</translation>
    </message>
    <message>
        <source>Начало выделения</source>
        <translation>Selection start</translation>
    </message>
    <message>
        <source>Конец выделения</source>
        <translation>Selection end</translation>
    </message>
</context>
<context>
    <name>brindle::StereoDialog</name>
    <message>
        <source>Convert to Stereo</source>
        <translation>Convert to Stereo</translation>
    </message>
    <message>
        <source>This program converts mono to stereo by duplicating the mono track.</source>
        <translation>This program converts mono to stereo by duplicating the mono track.</translation>
    </message>
    <message>
        <source>To create stereo with spatial depth, try Tessaly Mono to Stereo Converter.</source>
        <translation>To create stereo with spatial depth, try Tessaly Mono to Stereo Converter.</translation>
    </message>
    <message>
        <source>For more information, please visit:</source>
        <translation>For more information, please visit:</translation>
    </message>
    <message>
        <source>Tessaly Mono to Stereo Converter</source>
        <translation>Tessaly Mono to Stereo Converter</translation>
    </message>
    <message>
        <source>Proceed to Convert</source>
        <translation>Proceed to Convert</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Cancel</translation>
    </message>
</context>
<context>
    <name>brindle::Texts</name>
    <message>
        <source>Готов</source>
        <translation>Ready</translation>
    </message>
    <message>
        <source>Загружаем</source>
        <translation>Loading</translation>
    </message>
    <message>
        <source>Сохраняем</source>
        <translation>Saving</translation>
    </message>
    <message>
        <source>Загружено за %1 сек.</source>
        <translation>Loaded in %1 s</translation>
    </message>
    <message>
        <source>Ошибка открытия:
%1</source>
        <translation>Cannot open:
%1</translation>
    </message>
    <message>
        <source>Ошибка сохранения &quot;%1&quot;!</source>
        <translation>Cannot save &quot;%1&quot;!</translation>
    </message>
    <message>
        <source>Хотите сохранить изменения?</source>
        <translation>Do you want to save the changes?</translation>
    </message>
    <message>
        <source>Ошибка изменения звука</source>
        <translation>Cannot change the sound</translation>
    </message>
    <message>
        <source>Не удалось открыть адрес:
%1</source>
        <translation>Cannot open the address:
%1</translation>
    </message>
    <message>
        <source>Обрабатываем</source>
        <translation>Processing</translation>
    </message>
    <message>
        <source>Удалить выбранное</source>
        <translation>Delete Selected</translation>
    </message>
    <message>
        <source>Удалить НЕвыбранное</source>
        <translation>Delete Unselected</translation>
    </message>
    <message>
        <source>Изменить громкость</source>
        <translation>Change Volume</translation>
    </message>
    <message>
        <source>Увеличить громкость</source>
        <translation>Increase Volume</translation>
    </message>
    <message>
        <source>Возрастание</source>
        <translation>Fade In</translation>
    </message>
    <message>
        <source>Затухание</source>
        <translation>Fade Out</translation>
    </message>
    <message>
        <source>Конвертировать в Моно</source>
        <translation>Convert to Mono</translation>
    </message>
    <message>
        <source>Конвертировать в Стерео</source>
        <translation>Convert to Stereo</translation>
    </message>
    <message>
        <source>Отменить действие</source>
        <translation>Undo</translation>
    </message>
    <message>
        <source>Отменить: %1</source>
        <translation>Undo %1</translation>
    </message>
    <message>
        <source>Повторить действие</source>
        <translation>Redo</translation>
    </message>
    <message>
        <source>Повторить: %1</source>
        <translation>Redo %1</translation>
    </message>
    <message>
        <source>Сохранено без перекодирования</source>
        <translation>Saved without re-encoding</translation>
    </message>
    <message>
        <source>Сохранено, перекодировано %1 % звука</source>
        <translation>Saved; %1 % of the sound re-encoded</translation>
    </message>
    <message>
        <source>Восстановить несохранённые изменения в %1?</source>
        <translation>Recover the unsaved changes to %1?</translation>
    </message>
    <message>
        <source>Не удаётся сохранять несохранённые изменения на случай сбоя: %1</source>
        <translation>Cannot keep the unsaved changes safe against a crash: %1</translation>
    </message>
    <message>
        <source>Журнал несохранённых изменений испорчен и удалён.</source>
        <translation>The journal of unsaved changes was unusable and has been deleted.</translation>
    </message>
    <message>
        <source>Вставка пересчитана из %1 Гц в %2 Гц</source>
        <translation>Pasted audio resampled from %1 Hz to %2 Hz</translation>
    </message>
    <message>
        <source>Вставить</source>
        <translation>Paste</translation>
    </message>
    <message>
        <source>Вставить тишину</source>
        <translation>Insert Silence</translation>
    </message>
    <message>
        <source>Вырезать</source>
        <translation>Cut</translation>
    </message>
    <message>
        <source>Громкость не измерить: звук слишком тихий или короче 400 мс</source>
        <translation>The loudness cannot be measured: the sound is too quiet or shorter than 400 ms</translation>
    </message>
    <message>
        <source>Ошибка измерения громкости</source>
        <translation>Error measuring the loudness</translation>
    </message>
    <message>
        <source>Формат</source>
        <translation>Format</translation>
    </message>
    <message>
        <source>Длительность</source>
        <translation>Length</translation>
    </message>
    <message>
        <source>Пик</source>
        <translation>Peak</translation>
    </message>
    <message>
        <source>Интегральная громкость</source>
        <translation>Integrated loudness</translation>
    </message>
    <message>
        <source>Диапазон громкости</source>
        <translation>Loudness range</translation>
    </message>
    <message>
        <source>Истинный пик</source>
        <translation>True peak</translation>
    </message>
    <message>
        <source>%1, %2 бит, %3 Гц, %4</source>
        <translation>%1, %2-bit, %3 Hz, %4</translation>
    </message>
    <message>
        <source>моно</source>
        <translation>mono</translation>
    </message>
    <message>
        <source>стерео</source>
        <translation>stereo</translation>
    </message>
    <message>
        <source>Сохранить изменения в %1?</source>
        <translation>Save changes to %1?</translation>
    </message>
    <message>
        <source>Граница привязана к кадру MP3: %1 мс</source>
        <translation>Edge snapped to an MP3 frame: %1 ms</translation>
    </message>
    <message>
        <source>Не удалось открыть звуковое устройство: %1</source>
        <translation>Could not open the sound device: %1</translation>
    </message>
    <message>
        <source>Границы привязаны к MP3: %1 и %2 мс</source>
        <translation>Edges snapped to MP3 frames: %1 and %2 ms</translation>
    </message>
</context>
<context>
    <name>brindle::TimeRuler</name>
    <message>
        <source>Линейка времени</source>
        <translation>Time ruler</translation>
    </message>
</context>
<context>
    <name>brindle::TimesDialog</name>
    <message>
        <source>Задать выделение</source>
        <translation>Set Selection</translation>
    </message>
    <message>
        <source>Перейти к</source>
        <translation>Go To</translation>
    </message>
    <message>
        <source>&amp;Начало:</source>
        <translation>&amp;Start:</translation>
    </message>
    <message>
        <source>&amp;Конец:</source>
        <translation>&amp;End:</translation>
    </message>
    <message>
        <source>&amp;Длительность:</source>
        <translation>&amp;Length:</translation>
    </message>
    <message>
        <source>&amp;Позиция:</source>
        <translation>&amp;Position:</translation>
    </message>
    <message>
        <source>ч:мм:сс.ммм, мм:сс.ммм, секунды или число отсчётов («551250 отсч»); со знаком «−» — от конца</source>
        <translation>h:mm:ss.mmm, mm:ss.mmm, seconds or a sample count (“551250 smp”); with “−”, from the end</translation>
    </message>
    <message>
        <source>Например 1:02:03.5, 12:30, 12.5, 551250 отсч; «−5» — за 5 секунд до конца</source>
        <translation>For example 1:02:03.5, 12:30, 12.5, 551250 smp; “−5” is 5 seconds before the end</translation>
    </message>
    <message>
        <source>OK</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>Отмена</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>Время не распознано</source>
        <translation>Not a time</translation>
    </message>
    <message>
        <source>За пределами звука</source>
        <translation>Outside the sound</translation>
    </message>
    <message>
        <source>Конец раньше начала</source>
        <translation>The end comes before the start</translation>
    </message>
</context>
<context>
    <name>brindle::VolumeDialog</name>
    <message>
        <source>Изменить громкость</source>
        <translation>Change Volume</translation>
    </message>
    <message>
        <source>Громкость (%):</source>
        <translation>Volume (%):</translation>
    </message>
    <message>
        <source>Громкость (%)</source>
        <translation>Volume (%)</translation>
    </message>
    <message>
        <source>Ползунок громкости</source>
        <translation>Volume slider</translation>
    </message>
    <message>
        <source>OK</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>Отмена</source>
        <translation>Cancel</translation>
    </message>
</context>
<context>
    <name>brindle::WaveformView</name>
    <message>
        <source>Звуковая волна</source>
        <translation>Waveform</translation>
    </message>
    <message>
        <source>Позиция %1, без выделения</source>
        <translation>Position %1, no selection</translation>
    </message>
    <message>
        <source>Позиция %1, выделение с %2 по %3</source>
        <translation>Position %1, selection from %2 to %3</translation>
    </message>
</context>
</TS>
